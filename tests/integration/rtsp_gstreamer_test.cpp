#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>

#include "api/ClientHandle.h"
#include "source/RtspSession.h"
#include "support/e2e_gst_server.h"

namespace kavro {
namespace {

using test::GstRtspServerProcess;
using test::GstServerOptions;

using Clock = std::chrono::steady_clock;

// A small stream is enough for the handshake and the first packets.
GstServerOptions ServerOptions(bool digest) {
    GstServerOptions o;
    o.fps = 10;
    if (digest) {
        o.digestUser = "admin";
        o.digestPassword = "s3cret";
    }
    return o;
}

uint16_t FreeUdpPort() {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    socklen_t len = sizeof sa;
    bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    close(fd);
    uint16_t port = ntohs(sa.sin_port);
    return port < 60000 ? port : 40000;
}

void Prepare(ClientHandle& h, uint16_t transport, uint16_t port, const char* password) {
    h.transport = transport;
    h.fullUrl = 1;
    std::snprintf(h.address, sizeof h.address, "127.0.0.1:%u/live", port);
    std::strcpy(h.host, "127.0.0.1");
    h.port = port;
    std::strcpy(h.userName, "admin");
    std::strcpy(h.password, password);
}

// Reads the RTSP connection until an interleaved frame header for channel 0 arrives.
bool SawInterleavedVideo(RtspSession& s) {
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    unsigned char buf[4096];
    std::string seen;
    while (Clock::now() < deadline) {
        int n = s.ReceiveRtsp(buf, sizeof buf);
        if (n <= 0) return false;
        seen.append(reinterpret_cast<char*>(buf), static_cast<size_t>(n));
        for (size_t i = 0; i + 4 < seen.size(); ++i) {
            if (seen[i] == '$' && seen[i + 1] == 0 &&
                (static_cast<unsigned char>(seen[i + 4]) & 0xC0) == 0x80)
                return true;
        }
        if (seen.size() > 65536) seen.erase(0, seen.size() - 8);
    }
    return false;
}

class GstRtsp : public ::testing::TestWithParam<std::tuple<int, bool>> {};

TEST_P(GstRtsp, HandshakeAndFirstMedia) {
    const uint16_t transport = static_cast<uint16_t>(std::get<0>(GetParam()));
    const bool digest = std::get<1>(GetParam());
    GstRtspServerProcess server(ServerOptions(digest));
    if (!server.SkipReason().empty()) GTEST_SKIP() << server.SkipReason();
    ASSERT_TRUE(server.Error().empty()) << server.Error();

    ClientHandle h;
    Prepare(h, transport, server.Port(), "s3cret");
    RtspSession s(&h);
    s.firstVideoPort = FreeUdpPort();
    s.firstAudioPort = FreeUdpPort();
    ASSERT_EQ(s.OpenSockets(), 1);
    ASSERT_EQ(s.RtspConnect(), 1) << "last reply:\n" << s.Reply();
    EXPECT_EQ(s.useDigest, digest ? 1 : 0);
    EXPECT_NE(s.sessionId[0], '\0');
    EXPECT_TRUE(s.tracks.hasAudio);
    EXPECT_EQ(h.videoPayloadType.load(), 96);
    EXPECT_EQ(h.audioCodec.load(), 1);
    EXPECT_GT(s.ParameterSetsLength(), 8u);
    if (transport == 0) {
        unsigned char packet[2048];
        int n = s.videoSocket.Recv(packet, sizeof packet);
        ASSERT_GE(n, 12);
        EXPECT_EQ(packet[0] & 0xC0, 0x80);
        EXPECT_EQ(packet[1] & 0x7F, 96);
        n = s.audioSocket.Recv(packet, sizeof packet);
        ASSERT_GE(n, 12);
        EXPECT_EQ(packet[1] & 0x7F, 8);
        EXPECT_EQ(s.SendKeepAlive(), 1);
        EXPECT_EQ(s.RtspTeardown(), 1) << s.Reply();
    } else {
        EXPECT_TRUE(SawInterleavedVideo(s));
        EXPECT_EQ(s.SendKeepAliveNoWait(), 1);
        EXPECT_EQ(s.RtspTeardownNoWait(), 1);
    }
    s.CloseSockets();
}

INSTANTIATE_TEST_SUITE_P(TransportAndAuth, GstRtsp,
                         ::testing::Combine(::testing::Values(0, 1), ::testing::Bool()),
                         [](const ::testing::TestParamInfo<std::tuple<int, bool>>& info) {
                             return std::string(std::get<0>(info.param) == 0 ? "Udp" : "Tcp") +
                                    (std::get<1>(info.param) ? "Digest" : "Open");
                         });

TEST(GstRtspAuth, WrongPasswordFails) {
    GstRtspServerProcess server(ServerOptions(true));
    if (!server.SkipReason().empty()) GTEST_SKIP() << server.SkipReason();
    ASSERT_TRUE(server.Error().empty()) << server.Error();
    ClientHandle h;
    Prepare(h, 1, server.Port(), "wrong");
    RtspSession s(&h);
    ASSERT_EQ(s.OpenSockets(), 1);
    EXPECT_EQ(s.RtspConnect(), 0);
    EXPECT_EQ(s.useDigest, 1);
    EXPECT_NE(std::string(s.Reply()).find("401"), std::string::npos) << s.Reply();
    s.CloseSockets();
}

}  // namespace
}  // namespace kavro
