#pragma once
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>

#include "platform/Tick.h"

namespace kavro {

// Stands in for a Win32 thread message queue: post from any thread, blocking get on the owner.
struct ThreadMessage {
    uint32_t message = 0;
    uintptr_t wParam = 0;
    intptr_t lParam = 0;
};

class ThreadMessageQueue {
public:
    void Post(const ThreadMessage& m) {
        {
            std::lock_guard<std::mutex> g(mutex_);
            queue_.push_back(m);
        }
        cv_.notify_one();
    }
    // false on time-out.
    bool Get(ThreadMessage* out, uint32_t timeoutMs = kInfinite) {
        std::unique_lock<std::mutex> l(mutex_);
        auto ready = [this] { return !queue_.empty(); };
        if (timeoutMs == kInfinite) {
            cv_.wait(l, ready);
        } else if (!cv_.wait_for(l, std::chrono::milliseconds(timeoutMs), ready)) {
            return false;
        }
        *out = queue_.front();
        queue_.pop_front();
        return true;
    }
    void Clear() {
        std::lock_guard<std::mutex> g(mutex_);
        queue_.clear();
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<ThreadMessage> queue_;
};

}  // namespace kavro
