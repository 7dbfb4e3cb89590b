#include "camsim_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <strings.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace kavro::test {
namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

int DecodeStatus(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

// Spawns argv with the given descriptors as stdout and stderr (-1: inherit) and stdin from /dev/null.
pid_t Spawn(const std::vector<std::string>& args, int outFd, int errFd, bool searchPath) {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    if (outFd >= 0) posix_spawn_file_actions_adddup2(&fa, outFd, 1);
    if (errFd >= 0) posix_spawn_file_actions_adddup2(&fa, errFd, 2);
    pid_t pid = -1;
    int rc = searchPath ? posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ)
                        : posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    return rc == 0 ? pid : -1;
}

// Waits for the child up to timeoutMs; true with its status when it ended.
bool WaitChild(pid_t pid, int timeoutMs, int* status) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        pid_t r = ::waitpid(pid, status, WNOHANG);
        if (r == pid) return true;
        if (r < 0) return false;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace

const std::string* CamsimRequest::Header(const std::string& name) const {
    for (const auto& h : headers)
        if (strcasecmp(h.first.c_str(), name.c_str()) == 0) return &h.second;
    return nullptr;
}

CamsimProcess::CamsimProcess(std::vector<std::string> args, int startTimeoutMs, const std::string& bin) {
    if (bin.empty()) return;
    bool ownLog = true;
    for (size_t i = 0; i + 1 < args.size(); ++i)
        if (args[i] == "--log") {
            ownLog = false;
            logPath_ = args[i + 1];
        }
    if (ownLog) {
        char dir[] = "/tmp/kavro_camsim_XXXXXX";
        if (!::mkdtemp(dir)) return;
        tempDir_ = dir;
        logPath_ = tempDir_ + "/requests.log";
        args.insert(args.end(), {"--log", logPath_});
    }
    args.insert(args.begin(), {bin, "--port", "0"});

    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    pid_ = Spawn(args, fds[1], -1, false);
    ::close(fds[1]);
    if (pid_ <= 0) {
        ::close(fds[0]);
        pid_ = -1;
        return;
    }
    std::string line;
    const auto deadline = Clock::now() + std::chrono::milliseconds(startTimeoutMs);
    while (line.find('\n') == std::string::npos) {
        pollfd p{fds[0], POLLIN, 0};
        int left = RemainingMs(deadline);
        if (left == 0 || ::poll(&p, 1, left) <= 0) break;
        char buf[64];
        ssize_t n = ::read(fds[0], buf, sizeof buf);
        if (n <= 0) break;  // the simulator ended (bad arguments) or closed stdout
        line.append(buf, static_cast<size_t>(n));
    }
    ::close(fds[0]);
    unsigned port = 0;
    if (std::sscanf(line.c_str(), "PORT %u", &port) == 1 && port > 0 && port < 65536)
        port_ = static_cast<uint16_t>(port);
    else
        Stop();
}

CamsimProcess::~CamsimProcess() {
    Stop();
    if (!tempDir_.empty()) {
        ::unlink(logPath_.c_str());
        ::rmdir(tempDir_.c_str());
    }
}

std::string CamsimProcess::Url(const std::string& path) const {
    return "rtsp://127.0.0.1:" + std::to_string(port_) + "/" + path;
}

int CamsimProcess::Stop(int killAfterMs) {
    if (pid_ <= 0) return -1;
    int status = 0;
    ::kill(pid_, SIGTERM);
    if (!WaitChild(pid_, killAfterMs, &status)) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
    }
    pid_ = -1;
    port_ = 0;
    return DecodeStatus(status);
}

std::vector<CamsimRequest> CamsimProcess::ReadLog() const {
    std::vector<CamsimRequest> out;
    std::ifstream in(logPath_);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty()) continue;
        CamsimRequest r;
        std::stringstream fields(line);
        std::string field;
        bool first = true;
        while (std::getline(fields, field, '\t')) {
            if (first) {
                first = false;
                size_t a = field.find(' '), b = field.rfind(' ');
                r.method = field.substr(0, a);
                if (a != std::string::npos && b > a) {
                    r.url = field.substr(a + 1, b - a - 1);
                    r.version = field.substr(b + 1);
                } else if (a != std::string::npos) {
                    r.url = field.substr(a + 1);
                }
                continue;
            }
            size_t colon = field.find(": ");
            if (colon == std::string::npos)
                r.headers.emplace_back(field, "");
            else
                r.headers.emplace_back(field.substr(0, colon), field.substr(colon + 2));
        }
        out.push_back(std::move(r));
    }
    return out;
}

std::vector<CamsimRequest> CamsimProcess::WaitForLog(size_t count, int timeoutMs) const {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        auto log = ReadLog();
        if (log.size() >= count || Clock::now() >= deadline) return log;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

ProgramResult RunProgram(const std::vector<std::string>& argv, int timeoutMs) {
    ProgramResult result;
    int out[2], err[2];
    if (argv.empty() || ::pipe2(out, O_CLOEXEC) != 0) return result;
    if (::pipe2(err, O_CLOEXEC) != 0) {
        ::close(out[0]);
        ::close(out[1]);
        return result;
    }
    pid_t pid = Spawn(argv, out[1], err[1], true);
    ::close(out[1]);
    ::close(err[1]);
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    pollfd p[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open = pid > 0 ? 2 : 0;
    while (open > 0) {
        int left = RemainingMs(deadline);
        if (left == 0) {
            result.timedOut = true;
            break;
        }
        if (::poll(p, 2, left) < 0) break;
        for (int i = 0; i < 2; ++i) {
            if (p[i].fd < 0 || !(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buf[8192];
            ssize_t n = ::read(p[i].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, static_cast<size_t>(n));
            } else {
                p[i].fd = -1;
                --open;
            }
        }
    }
    ::close(out[0]);
    ::close(err[0]);
    if (pid > 0) {
        int status = 0;
        if (!WaitChild(pid, result.timedOut ? 0 : 2000, &status)) {
            result.timedOut = true;
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
        }
        result.exitCode = DecodeStatus(status);
    }
    return result;
}

}  // namespace kavro::test
