#include "platform/JThread.h"

#include <system_error>

namespace kavro {

JThread::~JThread() { Join(); }

int JThread::Start() {
    if (running_.load() || thread_.joinable()) {
        if (running_.load()) return -1;
        thread_.join();
    }
    {
        std::lock_guard<std::mutex> g(startMutex_);
        started_ = false;
    }
    running_ = true;
    try {
        thread_ = std::thread(&JThread::Entry, this);
    } catch (const std::system_error&) {
        running_ = false;
        return -1;
    }
    std::unique_lock<std::mutex> l(startMutex_);
    startCv_.wait(l, [this] { return started_ || !running_.load(); });
    return 0;
}

void JThread::ThreadStarted() {
    std::lock_guard<std::mutex> g(startMutex_);
    started_ = true;
    startCv_.notify_all();
}

void JThread::Entry() {
    Thread();
    std::lock_guard<std::mutex> g(startMutex_);
    running_ = false;
    startCv_.notify_all();
}

void JThread::Join() {
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

}  // namespace kavro
