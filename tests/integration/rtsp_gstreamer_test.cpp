#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "api/ClientHandle.h"
#include "source/RtspSession.h"

extern char** environ;

namespace kavro {
namespace {

using Clock = std::chrono::steady_clock;

// GStreamer RTSP server on loopback: H.264 on pay0, A-law on pay1, mounted at /live; with
// "digest USER PASSWORD" it asks for Digest authentication.
const char kServerScript[] = R"PY(
import sys
try:
    import gi
    gi.require_version('Gst', '1.0')
    gi.require_version('GstRtspServer', '1.0')
    gi.require_version('GstRtsp', '1.0')
except (ImportError, ValueError) as e:
    print('missing ' + str(e), flush=True)
    sys.exit(3)
gi.require_version('Gst', '1.0')
gi.require_version('GstRtspServer', '1.0')
gi.require_version('GstRtsp', '1.0')
from gi.repository import Gst, GstRtspServer, GstRtsp, GLib
Gst.init(None)
for name in ('videotestsrc', 'x264enc', 'rtph264pay', 'audiotestsrc', 'alawenc', 'rtppcmapay'):
    if Gst.ElementFactory.find(name) is None:
        print('missing GStreamer element ' + name, flush=True)
        sys.exit(3)
server = GstRtspServer.RTSPServer()
server.set_address('127.0.0.1')
server.set_service('0')
factory = GstRtspServer.RTSPMediaFactory()
factory.set_launch('( videotestsrc is-live=true ! video/x-raw,width=320,height=240,framerate=10/1 ! '
                   'x264enc tune=zerolatency speed-preset=ultrafast ! rtph264pay name=pay0 pt=96 '
                   'audiotestsrc is-live=true ! audio/x-raw,rate=8000,channels=1 ! alawenc ! rtppcmapay name=pay1 )')
factory.set_shared(True)
if len(sys.argv) > 1 and sys.argv[1] == 'digest':
    auth = GstRtspServer.RTSPAuth()
    auth.set_supported_methods(GstRtsp.RTSPAuthMethod.DIGEST)
    token = GstRtspServer.RTSPToken()
    token.set_string('media.factory.role', 'user')
    auth.add_digest(sys.argv[2], sys.argv[3], token)
    server.set_auth(auth)
    perms = Gst.Structure.from_string('user, media.factory.access=(boolean)true, media.factory.construct=(boolean)true')[0]
    factory.add_role_from_structure(perms)
server.get_mount_points().add_factory('/live', factory)
server.attach(None)
print(server.get_bound_port(), flush=True)
loop = GLib.MainLoop()
GLib.io_add_watch(0, GLib.IO_IN | GLib.IO_HUP, lambda *a: (loop.quit(), False)[1])
GLib.timeout_add_seconds(40, lambda: (loop.quit(), False)[1])
loop.run()
)PY";

constexpr char kPython[] = "/usr/bin/python3";

class GstServer {
public:
    // Starts the server; on failure skipReason or error tells why.
    explicit GstServer(bool digest) {
        if (access(kPython, X_OK) != 0) {
            skipReason = "no /usr/bin/python3";
            return;
        }
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
            error = "pipe";
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        std::string script(kServerScript);
        const char* argvDigest[] = {kPython, "-c", script.c_str(), "digest", "admin", "s3cret", nullptr};
        const char* argvPlain[] = {kPython, "-c", script.c_str(), nullptr};
        int rc = posix_spawn(&pid_, kPython, &actions, nullptr,
                             const_cast<char**>(digest ? argvDigest : argvPlain), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(in[0]);
        close(out[1]);
        stdin_ = in[1];
        stdout_ = out[0];
        if (rc != 0) {
            pid_ = -1;
            error = "cannot start python3";
            return;
        }
        std::string line;
        const auto deadline = Clock::now() + std::chrono::seconds(15);
        while (line.find('\n') == std::string::npos && Clock::now() < deadline) {
            pollfd p{stdout_, POLLIN, 0};
            if (poll(&p, 1, 100) != 1) continue;
            char buf[256];
            ssize_t n = read(stdout_, buf, sizeof buf);
            if (n <= 0) break;
            line.append(buf, static_cast<size_t>(n));
        }
        if (line.rfind("missing", 0) == 0) {
            skipReason = "GStreamer RTSP server pieces not installed: " + line;
        } else if (line.empty() || line[0] < '1' || line[0] > '9') {
            error = "GStreamer RTSP server did not start: '" + line + "'";
        } else {
            port = static_cast<uint16_t>(std::stoi(line));
        }
    }
    ~GstServer() {
        if (stdin_ >= 0) close(stdin_);  // the server quits when its input closes
        if (pid_ > 0) {
            int status;
            const auto deadline = Clock::now() + std::chrono::seconds(5);
            while (waitpid(pid_, &status, WNOHANG) == 0) {
                if (Clock::now() > deadline) {
                    kill(pid_, SIGKILL);
                    waitpid(pid_, &status, 0);
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        }
        if (stdout_ >= 0) close(stdout_);
    }

    uint16_t port = 0;
    std::string skipReason;
    std::string error;

private:
    pid_t pid_ = -1;
    int stdin_ = -1;
    int stdout_ = -1;
};

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
    GstServer server(digest);
    if (!server.skipReason.empty()) GTEST_SKIP() << server.skipReason;
    ASSERT_TRUE(server.error.empty()) << server.error;

    ClientHandle h;
    Prepare(h, transport, server.port, "s3cret");
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
    GstServer server(true);
    if (!server.skipReason.empty()) GTEST_SKIP() << server.skipReason;
    ASSERT_TRUE(server.error.empty()) << server.error;
    ClientHandle h;
    Prepare(h, 1, server.port, "wrong");
    RtspSession s(&h);
    ASSERT_EQ(s.OpenSockets(), 1);
    EXPECT_EQ(s.RtspConnect(), 0);
    EXPECT_EQ(s.useDigest, 1);
    EXPECT_NE(std::string(s.Reply()).find("401"), std::string::npos) << s.Reply();
    s.CloseSockets();
}

}  // namespace
}  // namespace kavro
