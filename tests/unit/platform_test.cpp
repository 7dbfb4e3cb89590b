#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/Event.h"
#include "platform/JThread.h"
#include "platform/Socket.h"
#include "platform/ThreadMessageQueue.h"
#include "platform/Tick.h"

using namespace kavro;

TEST(Event, ManualStaysSignalledAutoReleasesOne) {
    Event manual(true, false), autoEv(false, true);
    EXPECT_FALSE(manual.Wait(10));
    manual.Set();
    EXPECT_TRUE(manual.Wait(0));
    EXPECT_TRUE(manual.Wait(0));
    manual.Reset();
    EXPECT_FALSE(manual.Wait(0));
    EXPECT_TRUE(autoEv.Wait(0));
    EXPECT_FALSE(autoEv.Wait(0));
}

TEST(Event, WaitAnyReturnsSignalledIndexAndTimesOut) {
    Event a(false, false), b(false, false);
    Event* evs[] = {&a, &b};
    EXPECT_EQ(-1, Event::WaitAny(evs, 2, 20));
    std::thread t([&] {
        SleepMs(20);
        b.Set();
    });
    EXPECT_EQ(1, Event::WaitAny(evs, 2, 2000));
    t.join();
    EXPECT_FALSE(b.IsSet());  // auto reset consumed by the wait
}

namespace {
class Counter : public JThread {
public:
    std::atomic<int> runs{0};
    std::atomic<bool> stop{false};

protected:
    void* Thread() override {
        ThreadStarted();
        ++runs;
        while (!stop) SleepMs(1);
        return nullptr;
    }
};
}  // namespace

TEST(JThread, StartRunsUntilStoppedAndJoins) {
    Counter c;
    ASSERT_EQ(0, c.Start());
    EXPECT_TRUE(c.IsRunning());
    EXPECT_EQ(-1, c.Start());
    c.stop = true;
    c.Join();
    EXPECT_FALSE(c.IsRunning());
    EXPECT_EQ(1, c.runs);
}

TEST(Tick, AdvancesWithSleep) {
    uint32_t t0 = GetTick();
    SleepMs(30);
    EXPECT_GE(static_cast<uint32_t>(GetTick() - t0), 25u);
}

TEST(ThreadMessageQueue, PostFromOtherThreadAndTimeout) {
    ThreadMessageQueue q;
    ThreadMessage m;
    EXPECT_FALSE(q.Get(&m, 10));
    std::thread t([&] { q.Post({7, 1, 2}); });
    ASSERT_TRUE(q.Get(&m, 2000));
    EXPECT_EQ(7u, m.message);
    t.join();
}

TEST(Socket, ShutdownFromOtherThreadWakesBlockedRecv) {
    Socket s;
    ASSERT_TRUE(s.OpenUdp());
    ASSERT_TRUE(s.Bind(0));
    std::thread t([&] {
        SleepMs(50);
        s.Shutdown();
    });
    char buf[16];
    uint32_t t0 = GetTick();
    s.Recv(buf, sizeof buf);
    EXPECT_LT(static_cast<uint32_t>(GetTick() - t0), 2000u);
    t.join();
}

TEST(Socket, ConnectToClosedPortFailsAndResolveWorks) {
    in_addr a{};
    ASSERT_TRUE(ResolveIPv4("localhost", &a));
    EXPECT_FALSE(ResolveIPv4("no-such-host.invalid", &a));
    // A port that nobody listens on: bind one, close it, connect to it.
    Socket probe;
    ASSERT_TRUE(probe.OpenTcp());
    ASSERT_TRUE(probe.Bind(0));
    uint16_t port = probe.LocalPort();
    probe.Close();
    Socket s;
    ASSERT_TRUE(s.OpenTcp());
    ASSERT_TRUE(ResolveIPv4("127.0.0.1", &a));
    EXPECT_FALSE(s.Connect(a, port, 1000));
}
