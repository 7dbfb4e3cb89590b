#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "control/MctpTransport.h"
#include "platform/Tick.h"
#include "support/control_loopback.h"

using namespace kavro;
using kavro_test::ControlListener;
using kavro_test::ControlOneShotCamera;
using Mode = ControlOneShotCamera::Mode;

namespace {
int lookups = 0;
bool CountingLookup(const char*, in_addr* out) {
    ++lookups;
    out->s_addr = htonl(0x0A000001);
    return true;
}
bool FailingLookup(const char*, in_addr*) {
    ++lookups;
    return false;
}
}  // namespace

TEST(ResolveHost, DottedTextSkipsTheNameService) {
    struct Case {
        const char* name;
        HostLookup lookup;
        bool ok;
        uint32_t hostOrder;
        int lookups;
    } cases[] = {
        {"127.0.0.1", CountingLookup, true, 0x7F000001, 0},
        {"10.1", CountingLookup, true, 0x0A000001, 0},  // short dotted forms as the classic converter
        {"999.1.1.1", CountingLookup, false, 0, 0},     // malformed dotted text fails without a look-up
        {"", CountingLookup, false, 0, 0},
        {"camera.local", CountingLookup, true, 0x0A000001, 1},
        {"1.2.3.4a", CountingLookup, true, 0x0A000001, 1},
        {"camera.local", FailingLookup, false, 0, 1},
    };
    for (const Case& c : cases) {
        lookups = 0;
        uint32_t a = 0;
        EXPECT_EQ(c.ok, ResolveHost(c.name, &a, c.lookup)) << c.name;
        if (c.ok) {
            EXPECT_EQ(c.hostOrder, ntohl(a)) << c.name;
        }
        EXPECT_EQ(c.lookups, lookups) << c.name;
    }
    uint32_t a = 0;
    EXPECT_TRUE(ResolveHost("localhost", &a));  // the real name service
    EXPECT_EQ(0x7F000001u, ntohl(a));
}

TEST(CommandSocket, OpenCloseAndOptions) {
    CommandSocket s;
    ASSERT_TRUE(OpenCommandSocket(s, 100, 200, 300));
    EXPECT_TRUE(s.sock.IsOpen());
    EXPECT_EQ(100, s.connectTimeoutMs);
    EXPECT_EQ(300, s.receiveTimeoutMs);
    EXPECT_TRUE(SetNoDelay(s));
    EXPECT_EQ(1, s.noDelay);
    CloseCommandSocket(s);
    EXPECT_FALSE(s.sock.IsOpen());
    CloseCommandSocket(s);  // twice is harmless
    // A zero time-out would make the socket wait forever: refused.
    EXPECT_FALSE(OpenCommandSocket(s, 100, 0, 300));
    EXPECT_FALSE(s.sock.IsOpen());
}

// On loopback nothing is black-holed, so the time-out is provoked with a listener whose accept queue
// is full: the kernel then drops further connection attempts and the connect never completes.
TEST(CommandSocket, ConnectGivesUpAfterItsTimeout) {
    ControlListener full(0);
    std::vector<int> fillers;
    uint32_t addr = htonl(INADDR_LOOPBACK);
    bool queueFull = false;
    for (int i = 0; i < 16 && !queueFull; ++i) {
        CommandSocket probe;
        ASSERT_TRUE(OpenCommandSocket(probe, 200, 200, 200));
        if (ConnectWithTimeout(probe, addr, full.Port())) {
            fillers.push_back(dup(probe.sock.Fd()));
        } else {
            queueFull = true;
        }
    }
    if (!queueFull) {
        for (int fd : fillers) close(fd);
        GTEST_SKIP() << "this kernel accepts every connection attempt; connect time-out not provoked";
    }
    CommandSocket s;
    ASSERT_TRUE(OpenCommandSocket(s, 400, 400, 400));
    uint32_t start = GetTick();
    EXPECT_FALSE(ConnectWithTimeout(s, addr, full.Port()));
    uint32_t elapsed = GetTick() - start;
    EXPECT_GE(elapsed + 20, 400u);
    EXPECT_LT(elapsed, 1500u);
    for (int fd : fillers) close(fd);
}

TEST(CommandSocket, RefusedConnectFails) {
    uint16_t port;
    {
        ControlListener gone;
        port = gone.Port();
    }
    CommandSocket s;
    ASSERT_TRUE(OpenCommandSocket(s, 1000, 1000, 1000));
    EXPECT_FALSE(ConnectWithTimeout(s, htonl(INADDR_LOOPBACK), port));
}

TEST(MctpExchange, ReplyIsOneBoundedReceive) {
    const std::string request = "CMD:ALIVE MCTP/1.0 CS\nEND\n";
    struct Case {
        const char* name;
        Mode mode;
        std::string reply;
        bool ok;
        std::string received;
    } cases[] = {
        {"reply", Mode::kReply, "CMD:ALIVE MCTP/1.0\n@1@0@1\nEND\n", true,
         "CMD:ALIVE MCTP/1.0\n@1@0@1\nEND\n"},
        {"closed without reply", Mode::kClose, "", true, ""},
        // More than fits: the first 1024 bytes, NUL-terminated, the rest dropped with the connection.
        {"oversized", Mode::kReply, std::string(5000, 'x'), true, std::string(1024, 'x')},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ControlOneShotCamera cam(c.mode, c.reply);
        MctpReply reply;
        char host[] = "127.0.0.1";
        EXPECT_EQ(c.ok, MctpExchange(host, sizeof host, cam.Port(), kCommandTimeouts, request.data(),
                                     request.size(), reply));
        EXPECT_EQ(c.received, std::string(reply.text));
        EXPECT_EQ(static_cast<int>(c.received.size()), reply.length);
        EXPECT_EQ(request, cam.Request());
    }
}

TEST(MctpExchange, NoReplyWithinReceiveTimeoutFails) {
    ControlOneShotCamera cam(Mode::kHold);
    MctpReply reply;
    char host[] = "127.0.0.1";
    const MctpTimeouts quick{1000, 300, 300};
    uint32_t start = GetTick();
    EXPECT_FALSE(MctpExchange(host, sizeof host, cam.Port(), quick, "CMD:X MCTP/1.0 CS\nEND\n", 22, reply));
    uint32_t elapsed = GetTick() - start;
    EXPECT_GE(elapsed + 20, 300u);
    EXPECT_LT(elapsed, 1300u);
    EXPECT_EQ(0, reply.length);
}
