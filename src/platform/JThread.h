#pragma once
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace kavro {

// Worker thread base: Start runs Thread() on a new thread and returns once the thread has
// called ThreadStarted(). The owner must make Thread() return (stop flag, event, closed
// socket) before destroying the object; the destructor joins as a last resort.
class JThread {
public:
    JThread() = default;
    virtual ~JThread();
    JThread(const JThread&) = delete;
    JThread& operator=(const JThread&) = delete;

    // 0 on success, -1 when already running or the thread cannot be created.
    int Start();
    bool IsRunning() const { return running_.load(); }
    // Waits for Thread() to return and releases the thread. Safe to call more than once,
    // never from the thread itself.
    void Join();

protected:
    virtual void* Thread() = 0;
    void ThreadStarted();

private:
    void Entry();

    std::thread thread_;
    std::atomic<bool> running_{false};
    std::mutex startMutex_;
    std::condition_variable startCv_;
    bool started_ = false;
};

}  // namespace kavro
