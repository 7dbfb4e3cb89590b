#pragma once
// Test support: runs the camera simulator (tools/camsim) as a child process.
//
//   kavro::test::CamsimProcess cam({"--video", "jpeg", "--auth", "u:p"});
//   ASSERT_TRUE(cam.Running());
//   ... connect to 127.0.0.1:cam.Port() or cam.Url("1") ...
//   auto requests = cam.WaitForLog(4, 3000);  // what the simulator received
//
// The simulator always gets "--port 0" and, unless the arguments name one, a private
// "--log" file; the destructor stops it (SIGTERM, SIGKILL after 3 s), reaps it and removes
// the private log.
#include <sys/types.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace kavro::test {

// One line of the simulator's request log.
struct CamsimRequest {
    std::string method;
    std::string url;
    std::string version;
    std::vector<std::pair<std::string, std::string>> headers;  // in the order received
    // Value of the first header of that name (case-insensitive), or nullptr.
    const std::string* Header(const std::string& name) const;
};

// Path of the simulator binary: the build's (KAVRO_CAMSIM_PATH, defined for every test program
// when the build has the simulator), else $KAVRO_CAMSIM, else empty. Inline so that the macro of
// the calling test program counts.
inline std::string CamsimBinaryPath() {
#ifdef KAVRO_CAMSIM_PATH
    return KAVRO_CAMSIM_PATH;
#else
    const char* env = std::getenv("KAVRO_CAMSIM");
    return env ? env : "";
#endif
}

class CamsimProcess {
public:
    // Starts the simulator and waits up to startTimeoutMs for its "PORT <n>" line.
    explicit CamsimProcess(std::vector<std::string> args = {}, int startTimeoutMs = 15000,
                           const std::string& binary = CamsimBinaryPath());
    ~CamsimProcess();
    CamsimProcess(const CamsimProcess&) = delete;
    CamsimProcess& operator=(const CamsimProcess&) = delete;

    bool Running() const { return pid_ > 0 && port_ != 0; }
    pid_t Pid() const { return pid_; }
    uint16_t Port() const { return port_; }
    // "rtsp://127.0.0.1:<port>/<path>"; the library's own clients use the channel number as path.
    std::string Url(const std::string& path = "1") const;
    const std::string& LogPath() const { return logPath_; }

    // Requests logged so far ("UNKNOWN" lines for connections no protocol accepted).
    std::vector<CamsimRequest> ReadLog() const;
    // Polls the log until it holds at least `count` requests or timeoutMs passes; returns what it has.
    std::vector<CamsimRequest> WaitForLog(size_t count, int timeoutMs) const;

    // Ends the simulator: SIGTERM, then SIGKILL if it is still there after killAfterMs.
    // Returns its exit status, 128 + signal when a signal ended it, -1 when it was not running.
    int Stop(int killAfterMs = 3000);

private:
    pid_t pid_ = -1;
    uint16_t port_ = 0;
    std::string logPath_;
    std::string tempDir_;
};

// Result of RunProgram.
struct ProgramResult {
    int exitCode = -1;  // 128 + signal when a signal ended it
    bool timedOut = false;
    std::string out;
    std::string err;
};

// Runs a program (argv[0] looked up in PATH) with stdin from /dev/null, collects its output and
// kills it once timeoutMs has passed.
ProgramResult RunProgram(const std::vector<std::string>& argv, int timeoutMs);

}  // namespace kavro::test
