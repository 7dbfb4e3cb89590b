#pragma once
#include <cstdio>
#include <mutex>
#include <string>

namespace kavro::camsim {

// Appends one line per request received and flushes it at once, so a test can read the file
// while the simulator runs. Without a path it does nothing.
class RequestLog {
public:
    RequestLog() = default;
    ~RequestLog();
    RequestLog(const RequestLog&) = delete;
    RequestLog& operator=(const RequestLog&) = delete;

    bool Open(const std::string& path);
    // Writes the line; tabs separate its fields, so CR, LF and tabs inside them become blanks.
    void Write(const std::string& line);

private:
    std::mutex mutex_;
    FILE* file_ = nullptr;
};

}  // namespace kavro::camsim
