#include "support/e2e_gst_server.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

extern char** environ;

namespace kavro::test {
namespace {

using Clock = std::chrono::steady_clock;

// argv: fps bitrate toneHz sessionTimeoutSec [digestUser digestPassword]
const char kServerScript[] = R"PY(
import sys
try:
    import gi
    gi.require_version('Gst', '1.0')
    gi.require_version('GstRtspServer', '1.0')
    gi.require_version('GstRtsp', '1.0')
    from gi.repository import Gst, GstRtspServer, GstRtsp, GLib
except (ImportError, ValueError) as e:
    print('missing ' + str(e), flush=True)
    sys.exit(3)
Gst.init(None)
for name in ('videotestsrc', 'x264enc', 'rtph264pay', 'audiotestsrc', 'alawenc', 'rtppcmapay'):
    if Gst.ElementFactory.find(name) is None:
        print('missing GStreamer element ' + name, flush=True)
        sys.exit(3)
fps, kbps, tone, timeout = (int(v) for v in sys.argv[1:5])
server = GstRtspServer.RTSPServer()
server.set_address('127.0.0.1')
server.set_service('0')
factory = GstRtspServer.RTSPMediaFactory()
factory.set_launch(
    '( videotestsrc is-live=true pattern=ball ! video/x-raw,width=320,height=240,framerate=%d/1 ! '
    'x264enc tune=zerolatency speed-preset=ultrafast bitrate=%d key-int-max=%d ! rtph264pay name=pay0 pt=96 '
    'audiotestsrc is-live=true wave=sine freq=%d volume=0.5 ! audio/x-raw,rate=8000,channels=1 ! '
    'alawenc ! rtppcmapay name=pay1 )' % (fps, kbps, fps, tone))
factory.set_shared(True)
if len(sys.argv) > 6:
    auth = GstRtspServer.RTSPAuth()
    auth.set_supported_methods(GstRtsp.RTSPAuthMethod.DIGEST)
    token = GstRtspServer.RTSPToken()
    token.set_string('media.factory.role', 'user')
    auth.add_digest(sys.argv[5], sys.argv[6], token)
    server.set_auth(auth)
    perms = Gst.Structure.from_string(
        'user, media.factory.access=(boolean)true, media.factory.construct=(boolean)true')[0]
    factory.add_role_from_structure(perms)
def on_session(client, session):
    session.set_timeout(timeout)
server.connect('client-connected', lambda srv, client: client.connect('new-session', on_session))
server.get_mount_points().add_factory('/live', factory)
server.attach(None)
pool = server.get_session_pool()
GLib.timeout_add_seconds(1, lambda: (pool.cleanup(), True)[1])
print(server.get_bound_port(), flush=True)
loop = GLib.MainLoop()
GLib.io_add_watch(0, GLib.IO_IN | GLib.IO_HUP, lambda *a: (loop.quit(), False)[1])
GLib.timeout_add_seconds(120, lambda: (loop.quit(), False)[1])
loop.run()
)PY";

constexpr char kPython[] = "/usr/bin/python3";

}  // namespace

GstRtspServerProcess::GstRtspServerProcess(const GstServerOptions& o) {
    if (access(kPython, X_OK) != 0) {
        skipReason_ = "no /usr/bin/python3";
        return;
    }
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0) {
        error_ = "pipe";
        return;
    }
    if (pipe2(out, O_CLOEXEC) != 0) {
        close(in[0]);
        close(in[1]);
        error_ = "pipe";
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    const std::string script(kServerScript),
        fps = std::to_string(o.fps), kbps = std::to_string(o.bitrateKbps), tone = std::to_string(o.toneHz),
        timeout = std::to_string(o.sessionTimeoutSec);
    std::vector<const char*> argv = {kPython,      "-c",         script.c_str(), fps.c_str(),
                                     kbps.c_str(), tone.c_str(), timeout.c_str()};
    if (!o.digestUser.empty()) {
        argv.push_back(o.digestUser.c_str());
        argv.push_back(o.digestPassword.c_str());
    }
    argv.push_back(nullptr);
    int rc = posix_spawn(&pid_, kPython, &actions, nullptr, const_cast<char**>(argv.data()), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    stdin_ = in[1];
    stdout_ = out[0];
    if (rc != 0) {
        pid_ = -1;
        error_ = "cannot start python3";
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
        skipReason_ = "GStreamer RTSP server pieces not installed: " + line;
    } else if (line.empty() || line[0] < '1' || line[0] > '9') {
        error_ = "GStreamer RTSP server did not start: '" + line + "'";
    } else {
        port_ = static_cast<uint16_t>(std::stoi(line));
    }
}

GstRtspServerProcess::~GstRtspServerProcess() {
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

}  // namespace kavro::test
