#pragma once
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/Tick.h"

namespace kavro {

// Win32-style event: manual reset stays signalled until Reset; auto reset releases one waiter.
class Event {
public:
    Event(bool manualReset, bool initiallySignalled);
    ~Event();
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void Set();
    void Reset();
    bool IsSet() const;
    // true when signalled within timeoutMs (kInfinite waits without limit).
    bool Wait(uint32_t timeoutMs);
    // Index of the first signalled event, or -1 on time-out. Consumes the signal of an auto event.
    static int WaitAny(Event* const* events, int count, uint32_t timeoutMs);

private:
    struct Waiter {
        std::mutex m;
        std::condition_variable cv;
        bool woken = false;
    };
    bool TryConsumeLocked();
    void AddWaiter(Waiter* w);
    void RemoveWaiter(Waiter* w);

    mutable std::mutex mutex_;
    std::condition_variable cv_;
    bool manual_;
    bool signalled_;
    std::vector<Waiter*> waiters_;
};

}  // namespace kavro
