#pragma once
#include <sys/types.h>

#include <cstdint>
#include <string>

namespace kavro {
namespace test {

// A private virtual X server for one test program.
//
//   XvfbServer x;
//   if (!x.Start(640, 480, 24)) GTEST_SKIP() << x.Error();
//   ... DISPLAY now names it; XOpenDisplay(nullptr) reaches it ...
//   x.Stop();   // or let the destructor do it
//
// Start runs `Xvfb :N -screen 0 WxHxD -nolisten tcp -displayfd FD` on a display number with no
// lock file, waits at most timeoutMs for the server to report itself ready, and sets DISPLAY to
// ":N" (the previous value comes back at Stop). Stop kills it (SIGTERM, then SIGKILL after 2 s)
// and reaps it. Start one server per test program (a SetUpTestSuite or a global environment)
// and keep it until the end: library code keeps its X connections open, and a server that
// disappears under them breaks those connections.
class XvfbServer {
public:
    XvfbServer() = default;
    ~XvfbServer();
    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;

    // false with a reason in Error() when the program is missing or the server does not come up.
    bool Start(int width = 1024, int height = 768, int depth = 24, uint32_t timeoutMs = 10000);
    void Stop();
    bool Running() const { return pid_ > 0; }
    const std::string& DisplayName() const { return displayName_; }
    const std::string& Error() const { return error_; }

    // Whether an Xvfb program is on PATH.
    static bool Available();

private:
    bool StartOn(int number, int width, int height, int depth, uint32_t timeoutMs);

    pid_t pid_ = -1;
    std::string displayName_;
    std::string error_;
    bool hadDisplay_ = false;
    std::string oldDisplay_;
};

}  // namespace test
}  // namespace kavro
