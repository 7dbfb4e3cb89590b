#include "platform/Event.h"

#include <algorithm>
#include <chrono>

namespace kavro {

Event::Event(bool manualReset, bool initiallySignalled) : manual_(manualReset), signalled_(initiallySignalled) {}

Event::~Event() = default;

void Event::Set() {
    std::lock_guard<std::mutex> g(mutex_);
    signalled_ = true;
    cv_.notify_all();
    // Waiters are woken under the event's lock: a waiter of WaitAny removes itself (under the same
    // lock) before its record goes away, so none is touched after it has left.
    for (Waiter* w : waiters_) {
        std::lock_guard<std::mutex> wg(w->m);
        w->woken = true;
        w->cv.notify_all();
    }
}

void Event::Reset() {
    std::lock_guard<std::mutex> g(mutex_);
    signalled_ = false;
}

bool Event::IsSet() const {
    std::lock_guard<std::mutex> g(mutex_);
    return signalled_;
}

bool Event::TryConsumeLocked() {
    if (!signalled_) return false;
    if (!manual_) signalled_ = false;
    return true;
}

bool Event::Wait(uint32_t timeoutMs) {
    std::unique_lock<std::mutex> l(mutex_);
    if (timeoutMs == kInfinite) {
        cv_.wait(l, [this] { return signalled_; });
    } else if (!cv_.wait_for(l, std::chrono::milliseconds(timeoutMs), [this] { return signalled_; })) {
        return false;
    }
    TryConsumeLocked();
    return true;
}

void Event::AddWaiter(Waiter* w) {
    std::lock_guard<std::mutex> g(mutex_);
    waiters_.push_back(w);
}

void Event::RemoveWaiter(Waiter* w) {
    std::lock_guard<std::mutex> g(mutex_);
    waiters_.erase(std::remove(waiters_.begin(), waiters_.end(), w), waiters_.end());
}

int Event::WaitAny(Event* const* events, int count, uint32_t timeoutMs) {
    if (count <= 0) return -1;
    Waiter w;
    for (int i = 0; i < count; ++i) events[i]->AddWaiter(&w);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int result = -1;
    for (;;) {
        for (int i = 0; i < count && result < 0; ++i) {
            std::lock_guard<std::mutex> g(events[i]->mutex_);
            if (events[i]->TryConsumeLocked()) result = i;
        }
        if (result >= 0) break;
        std::unique_lock<std::mutex> l(w.m);
        if (!w.woken) {
            if (timeoutMs == kInfinite) {
                w.cv.wait(l, [&] { return w.woken; });
            } else if (!w.cv.wait_until(l, deadline, [&] { return w.woken; })) {
                break;
            }
        }
        w.woken = false;
    }
    for (int i = 0; i < count; ++i) events[i]->RemoveWaiter(&w);
    return result;
}

}  // namespace kavro
