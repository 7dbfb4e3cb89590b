// The keep-alive test shortens the server's session time-out to stay short; this checks that the
// server really ends a session that hears nothing, and that the session's keep-alive prevents it.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>

#include "api/ClientHandle.h"
#include "platform/Tick.h"
#include "source/RtspSession.h"
#include "support/e2e_gst_server.h"

namespace kavro {
namespace {

// Milliseconds until no RTP datagram arrives for `quietMs`, up to `limitMs`; sends a keep-alive
// every `keepAliveMs` when that is not 0.
uint32_t StreamLifetime(RtspSession& s, uint32_t keepAliveMs, uint32_t quietMs, uint32_t limitMs) {
    uint8_t buf[65536];
    const uint32_t start = GetTick();
    uint32_t lastPacket = start, lastKeepAlive = start;
    for (;;) {
        const uint32_t now = GetTick();
        if (now - lastPacket >= quietMs) return lastPacket - start;
        if (now - start >= limitMs) return now - start;
        if (keepAliveMs && now - lastKeepAlive >= keepAliveMs) {
            s.SendKeepAlive();
            lastKeepAlive = now;
        }
        if (s.videoSocket.WaitReadable(100) == 1 && s.videoSocket.Recv(buf, sizeof buf) > 0)
            lastPacket = GetTick();
    }
}

TEST(E2eKeepAliveControl, ServerEndsASilentSessionAndKeepAliveKeepsItGoing) {
    test::GstServerOptions options;
    options.sessionTimeoutSec = 4;
    test::GstRtspServerProcess server(options);
    if (!server.SkipReason().empty()) GTEST_SKIP() << server.SkipReason();
    ASSERT_TRUE(server.Error().empty()) << server.Error();

    for (bool keepAlive : {false, true}) {
        SCOPED_TRACE(keepAlive ? "with keep-alive" : "silent");
        ClientHandle client;
        client.transport = 0;
        snprintf(client.address, sizeof client.address, "127.0.0.1:%u/live", server.Port());
        snprintf(client.host, sizeof client.host, "127.0.0.1");
        client.port = server.Port();
        client.fullUrl = 1;
        RtspSession session(&client, 5);
        ASSERT_EQ(1, session.OpenSockets());
        ASSERT_EQ(1, session.RtspConnect());
        const uint32_t lived = StreamLifetime(session, keepAlive ? 1500 : 0, 2000, 14000);
        if (keepAlive) {
            EXPECT_GE(lived, 13000u) << "the stream stopped despite keep-alives";
        } else {
            EXPECT_LT(lived, 10000u) << "the server did not end a silent session: the shortened "
                                        "time-out would prove nothing";
        }
        session.RtspTeardown();
        session.CloseSockets();
    }
}

}  // namespace
}  // namespace kavro
