#include "RequestLog.h"

namespace kavro::camsim {

RequestLog::~RequestLog() {
    if (file_) std::fclose(file_);
}

bool RequestLog::Open(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    file_ = std::fopen(path.c_str(), "a");
    return file_ != nullptr;
}

void RequestLog::Write(const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!file_) return;
    std::string clean = line;
    for (char& c : clean)
        if (c == '\r' || c == '\n') c = ' ';
    clean += '\n';
    std::fwrite(clean.data(), 1, clean.size(), file_);
    std::fflush(file_);
}

}  // namespace kavro::camsim
