#pragma once
#include <mutex>

namespace kavro {

// Lock with an explicit Init, as the workers create their locks in their Init steps.
// Recursive so that a holder may re-enter (the presenter relies on that).
class JMutex {
public:
    JMutex() = default;
    JMutex(const JMutex&) = delete;
    JMutex& operator=(const JMutex&) = delete;

    int Init() {
        initialized_ = true;
        return 0;
    }
    bool IsInitialized() const { return initialized_; }
    int Lock() {
        m_.lock();
        return 0;
    }
    int Unlock() {
        m_.unlock();
        return 0;
    }

private:
    std::recursive_mutex m_;
    bool initialized_ = false;
};

class JMutexAutoLock {
public:
    explicit JMutexAutoLock(JMutex& m) : m_(m) { m_.Lock(); }
    ~JMutexAutoLock() { m_.Unlock(); }
    JMutexAutoLock(const JMutexAutoLock&) = delete;
    JMutexAutoLock& operator=(const JMutexAutoLock&) = delete;

private:
    JMutex& m_;
};

}  // namespace kavro
