#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "api/ClientHandle.h"
#include "control/CEventReceiver2.h"
#include "platform/Tick.h"
#include "support/control_loopback.h"

using namespace kavro;
using kavro_test::ControlListener;
using kavro_test::ControlPeer;

namespace {

const std::string kKeepAlive = "CMD:ALIVE MCTP/1.0 CS\nEND\n";

std::mutex raisedLock;
std::vector<std::pair<int, int>> raised;
void Record(ClientHandle*, int32_t code, int32_t argument) {
    std::lock_guard<std::mutex> g(raisedLock);
    raised.emplace_back(code, argument);
}
std::vector<std::pair<int, int>> Raised() {
    std::lock_guard<std::mutex> g(raisedLock);
    return raised;
}

template <typename F>
bool WaitFor(F condition, uint32_t timeoutMs) {
    uint32_t start = GetTick();
    while (!condition()) {
        if (GetTick() - start > timeoutMs) return false;
        SleepMs(5);
    }
    return true;
}

class EventChannel : public ::testing::Test {
protected:
    void SetUp() override {
        {
            std::lock_guard<std::mutex> g(raisedLock);
            raised.clear();
        }
        strcpy(client.host, "127.0.0.1");
        client.port = listener.Port();
        client.controlPort = 1;  // the event channel uses the RTSP port, not this one
        client.channel = 2;
    }

    // Registers on a helper thread while this thread plays the camera; returns the camera's side.
    std::unique_ptr<ControlPeer> RegisterWith(const std::string& reply, bool expectOk,
                                              std::string* request = nullptr) {
        bool ok = !expectOk;
        std::thread t([&] { ok = rx.Register("7F3A21"); });
        std::unique_ptr<ControlPeer> peer = listener.Accept(3000);
        if (peer) {
            std::string r = peer->ReadUntil("END\n", 3000);
            if (request) *request = r;
            if (reply.empty())
                peer->Close();  // the camera hangs up instead of answering
            else
                peer->Send(reply);
        }
        t.join();
        EXPECT_EQ(expectOk, ok);
        return peer;
    }

    ControlListener listener;
    ClientHandle client;
    CEventReceiver2 rx{&client, Record};
};

}  // namespace

TEST_F(EventChannel, RegistersKeepsAliveAndDeliversEvents) {
    std::string request;
    auto cam = RegisterWith("CMD:ALIVE MCTP/1.0\n@1@2@1\nEND\n", true, &request);
    ASSERT_TRUE(cam);
    EXPECT_EQ("CMD:ALIVE MCTP/1.0 CS\n@7F3A21@2\nEND\n", request);
    EXPECT_EQ(1000, rx.eventSocket.receiveTimeoutMs);

    rx.keepAlivePeriodMs = 300;
    ASSERT_EQ(0, rx.Start());
    // The first keep-alive goes out at once, then one per period (a pass lasts up to one receive time-out).
    EXPECT_EQ(kKeepAlive, cam->ReadUntil("END\n", 500));
    cam->Send("CMD:ALIVE MCTP/1.0\n@0@0@1\nEND\n");
    EXPECT_EQ(kKeepAlive, cam->ReadUntil("END\n", 1500));

    cam->Send("CMD:MD MCTP/1.0\n@0@1@2@1@2@3@4@0\n@0@1@5@5@6@7@8@0\nEND\nCMD:ALARM MCTP/1.0\n@2@7\nEND\n");
    ASSERT_TRUE(WaitFor([&] { return Raised().size() == 2; }, 2000));
    EXPECT_EQ((std::vector<std::pair<int, int>>{{2, 0x24}, {4, 7}}), Raised());
    EXPECT_EQ(0x24u, client.mdState.load());
    EXPECT_NE(0u, client.mdTicks[5].load());
    EXPECT_EQ(8, client.mdRegions.rect[5][3]);

    // Stop ends a receive that is blocked right now, without waiting out its time-out.
    SleepMs(50);
    uint32_t start = GetTick();
    EXPECT_EQ(0, rx.Stop());
    EXPECT_LT(GetTick() - start, 500u);
    EXPECT_FALSE(rx.IsRunning());
    EXPECT_FALSE(rx.eventSocket.sock.IsOpen());
    EXPECT_TRUE(cam->WaitClosed(1000));
}

TEST_F(EventChannel, RegistrationRepliesThatFail) {
    struct Case {
        const char* name;
        std::string reply;
    } cases[] = {
        {"status zero", "CMD:ALIVE MCTP/1.0\n@1@2@0\nEND\n"},
        {"two values", "CMD:ALIVE MCTP/1.0\n@1@2\nEND\n"},
        {"four lines", "CMD:ALIVE MCTP/1.0\n@1@2@1\n\nEND\n"},
        {"closed", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto cam = RegisterWith(c.reply, false);
        ASSERT_TRUE(cam);
        EXPECT_FALSE(rx.eventSocket.sock.IsOpen());
        if (!c.reply.empty()) {
            EXPECT_TRUE(cam->WaitClosed(1000));
        }
    }
    // Any nonzero status is accepted.
    auto cam = RegisterWith("CMD:ALIVE MCTP/1.0\n@1@2@-3\nEND\n", true);
    EXPECT_TRUE(rx.eventSocket.sock.IsOpen());
    // A session identifier that would break the line is not sent.
    EXPECT_FALSE(rx.Register("abc\r\nEND"));
    EXPECT_FALSE(rx.eventSocket.sock.IsOpen());
}

TEST_F(EventChannel, ThreadEndsOnMalformedAlarmAndOnClosedConnection) {
    struct Case {
        const char* name;
        bool closeConnection;
    } cases[] = {{"four-line alarm", false}, {"camera closed", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto cam = RegisterWith("CMD:ALIVE MCTP/1.0\n@1@2@1\nEND\n", true);
        ASSERT_TRUE(cam);
        ASSERT_EQ(0, rx.Start());
        EXPECT_EQ(kKeepAlive, cam->ReadUntil("END\n", 500));
        if (c.closeConnection)
            cam->Close();
        else
            cam->Send("CMD:ALARM MCTP/1.0\n@2@7\n@2@7\nEND\n");
        EXPECT_TRUE(WaitFor([&] { return !rx.IsRunning(); }, 1000));
        EXPECT_TRUE(Raised().empty());
        rx.Stop();
    }
}

TEST_F(EventChannel, StopBeforeAnyEventAndRegisterAgain) {
    auto first = RegisterWith("CMD:ALIVE MCTP/1.0\n@1@2@1\nEND\n", true);
    ASSERT_EQ(0, rx.Start());
    EXPECT_FALSE(rx.Register("again"));  // not while the thread runs
    rx.Stop();
    auto second = RegisterWith("CMD:ALIVE MCTP/1.0\n@1@2@1\nEND\n", true);
    ASSERT_TRUE(second);
    EXPECT_EQ(0, rx.stopRequested.load());
    ASSERT_EQ(0, rx.Start());
    EXPECT_EQ(kKeepAlive, second->ReadUntil("END\n", 500));
    second->Send("CMD:MD MCTP/1.0\n@0@1@0@1@1@1@1@0\nEND\n");
    EXPECT_TRUE(WaitFor([&] { return client.mdState.load() == 1u; }, 2000));
    // The destructor alone must end the running thread too (checked by the fixture's teardown).
}
