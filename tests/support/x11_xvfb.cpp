#include "support/x11_xvfb.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace kavro {
namespace test {

namespace {

bool Exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

XvfbServer::~XvfbServer() { Stop(); }

bool XvfbServer::Available() {
    const char* path = std::getenv("PATH");
    std::string p = path ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= p.size()) {
        const size_t end = p.find(':', start);
        const std::string dir = p.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!dir.empty() && access((dir + "/Xvfb").c_str(), X_OK) == 0) return true;
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return false;
}

bool XvfbServer::Start(int width, int height, int depth, uint32_t timeoutMs) {
    Stop();
    if (!Available()) {
        error_ = "Xvfb is not installed (no Xvfb on PATH): X11 tests skipped";
        return false;
    }
    // Spread over a range so parallel test programs rarely pick the same number; a taken one
    // makes Xvfb exit at once and the next is tried.
    const int first = 100 + int(getpid() % 400);
    for (int n = first, tries = 0; tries < 20; ++n, ++tries) {
        if (Exists("/tmp/.X" + std::to_string(n) + "-lock") || Exists("/tmp/.X11-unix/X" + std::to_string(n)))
            continue;
        if (StartOn(n, width, height, depth, timeoutMs)) return true;
    }
    if (error_.empty()) error_ = "no free X display number for Xvfb";
    return false;
}

bool XvfbServer::StartOn(int number, int width, int height, int depth, uint32_t timeoutMs) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        error_ = "pipe failed";
        return false;
    }
    const std::string name = ":" + std::to_string(number);
    const std::string screen =
        std::to_string(width) + "x" + std::to_string(height) + "x" + std::to_string(depth);
    const std::string fdArg = std::to_string(fds[1]);
    // -noreset: the server would otherwise reset, refusing connections, whenever its last client leaves.
    std::vector<const char*> argv = {"Xvfb",         name.c_str(),  "-screen", "0",
                                     screen.c_str(), "-nolisten",   "tcp",     "-noreset",
                                     "-displayfd",   fdArg.c_str(), nullptr};
    const pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        error_ = "fork failed";
        return false;
    }
    if (pid == 0) {
        fcntl(fds[1], F_SETFD, 0);  // the server writes its display number here
        const int devnull = open("/dev/null", O_RDWR);
        if (devnull >= 0) {
            dup2(devnull, 0);
            dup2(devnull, 1);
            dup2(devnull, 2);
        }
        execvp("Xvfb", const_cast<char* const*>(argv.data()));
        _exit(127);
    }
    close(fds[1]);
    pid_ = pid;

    std::string got;
    const int64_t deadline = NowMs() + timeoutMs;
    bool ready = false;
    while (!ready) {
        const int64_t left = deadline - NowMs();
        if (left <= 0) break;
        pollfd p{fds[0], POLLIN, 0};
        if (poll(&p, 1, int(left < 100 ? left : 100)) > 0) {
            char buf[32];
            const ssize_t n = read(fds[0], buf, sizeof buf);
            if (n <= 0) break;  // closed: the server ended
            got.append(buf, size_t(n));
            ready = got.find('\n') != std::string::npos;
        }
        int status = 0;
        if (!ready && waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            break;
        }
    }
    close(fds[0]);
    if (!ready) {
        error_ = "Xvfb " + name + " did not become ready within " + std::to_string(timeoutMs) + " ms";
        Stop();
        return false;
    }
    displayName_ = ":" + got.substr(0, got.find('\n'));
    const char* old = std::getenv("DISPLAY");
    hadDisplay_ = old != nullptr;
    oldDisplay_ = old ? old : "";
    setenv("DISPLAY", displayName_.c_str(), 1);
    error_.clear();
    return true;
}

void XvfbServer::Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    int status = 0;
    bool reaped = false;
    for (int i = 0; i < 200 && !reaped; ++i) {
        reaped = waitpid(pid_, &status, WNOHANG) == pid_;
        if (!reaped) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!reaped) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
    }
    pid_ = -1;
    if (!displayName_.empty()) {
        if (hadDisplay_)
            setenv("DISPLAY", oldDisplay_.c_str(), 1);
        else
            unsetenv("DISPLAY");
    }
    displayName_.clear();
}

}  // namespace test
}  // namespace kavro

#if defined(__SANITIZE_ADDRESS__)
// Fontconfig keeps blocks of its parsed configuration for the life of the process (it frees
// them only in FcFini, which a library inside a host must not call). Every program that uses
// this fixture draws text through it, so the suppression lives here.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
#endif
