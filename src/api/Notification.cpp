#include "api/Notification.h"

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "api/ClientHandle.h"
#include "api/Library.h"
#include "platform/Event.h"
#include "platform/JThread.h"
#include "platform/WindowMessage.h"

namespace kavro {

namespace {
thread_local DispatcherThread* tl_dispatcher = nullptr;
std::atomic<WindowPoster> g_windowPoster{&PostWindowMessage};
}  // namespace

// The one thread that calls the host callback, in queue order.
class DispatcherThread : public JThread {
public:
    ~DispatcherThread() override { Join(); }
    void RequestStop() { run_.store(false); }

protected:
    void* Thread() override;

private:
    std::atomic<bool> run_{true};
};

namespace {

struct Hub {
    std::mutex queueLock;
    std::deque<Notification> queue;  // guarded by queueLock
    bool accepting = false;          // guarded by queueLock
    Event wake{true, false};         // signalled while queue is not empty, and to stop

    std::mutex threadsLock;
    std::unique_ptr<DispatcherThread> current;               // guarded by threadsLock
    std::vector<std::unique_ptr<DispatcherThread>> retired;  // guarded by threadsLock

    ~Hub();
};

DispatcherThread* Detach(Hub& hub) {
    std::deque<Notification> dropped;  // freed outside the lock
    DispatcherThread* d;
    {
        std::lock_guard<std::mutex> g(hub.threadsLock);
        d = hub.current.release();
    }
    if (d) d->RequestStop();
    std::lock_guard<std::mutex> g(hub.queueLock);
    hub.accepting = false;
    dropped.swap(hub.queue);
    hub.wake.Set();
    return d;
}

Hub::~Hub() {
    // Unloaded without Cleanup: end the thread rather than leave it blocked on a dead event.
    std::unique_ptr<DispatcherThread> d(Detach(*this));
    // Exit from inside the callback: that thread cannot join itself, so it is left alone.
    if (d.get() == tl_dispatcher) (void)d.release();
    for (auto& r : retired) {
        if (r.get() == tl_dispatcher) (void)r.release();
    }
}

Hub& GetHub() {
    static Hub hub;
    return hub;
}

void Deliver(const Notification& n) {
    KAVRO_NOTIFY callback = GetNotifyCallback();
    if (!callback) return;
    try {
        callback(n.handle, n.code, n.argument, n.userValue);
    } catch (...) {
        // A throwing host callback must not end the dispatcher.
    }
}

}  // namespace

void* DispatcherThread::Thread() {
    tl_dispatcher = this;
    ThreadStarted();
    Hub& hub = GetHub();
    while (run_.load()) {
        hub.wake.Wait(kInfinite);
        if (!run_.load()) break;
        Notification n;
        bool have = false;
        {
            std::lock_guard<std::mutex> g(hub.queueLock);
            if (!hub.queue.empty()) {
                n = hub.queue.front();
                hub.queue.pop_front();
                have = true;
            }
            if (hub.queue.empty()) hub.wake.Reset();
        }
        if (have) Deliver(n);
    }
    return nullptr;
}

bool StartDispatcher() {
    Hub& hub = GetHub();
    auto d = std::make_unique<DispatcherThread>();
    {
        std::lock_guard<std::mutex> g(hub.queueLock);
        hub.queue.clear();
        hub.accepting = true;
        hub.wake.Reset();
    }
    if (d->Start() != 0) {
        std::lock_guard<std::mutex> g(hub.queueLock);
        hub.accepting = false;
        return false;
    }
    std::lock_guard<std::mutex> g(hub.threadsLock);
    hub.current = std::move(d);
    return true;
}

DispatcherThread* DetachDispatcher() { return Detach(GetHub()); }

void FinishDispatcher(DispatcherThread* dispatcher) {
    if (!dispatcher) return;
    std::unique_ptr<DispatcherThread> d(dispatcher);
    if (d.get() == tl_dispatcher) {
        Hub& hub = GetHub();
        std::lock_guard<std::mutex> g(hub.threadsLock);
        hub.retired.push_back(std::move(d));
        return;
    }
    d->Join();
}

void ReapDispatchers() {
    Hub& hub = GetHub();
    std::vector<std::unique_ptr<DispatcherThread>> done;
    {
        std::lock_guard<std::mutex> g(hub.threadsLock);
        std::vector<std::unique_ptr<DispatcherThread>> keep;
        for (auto& r : hub.retired) {
            if (r.get() == tl_dispatcher) {
                keep.push_back(std::move(r));
            } else {
                done.push_back(std::move(r));
            }
        }
        hub.retired.swap(keep);
    }
    // Each ends as soon as its callback returns; joined here by the destructors.
}

void Enqueue(const Notification& n) {
    Hub& hub = GetHub();
    try {
        std::lock_guard<std::mutex> g(hub.queueLock);
        if (!hub.accepting) return;
        hub.queue.push_back(n);
        hub.wake.Set();
    } catch (const std::bad_alloc&) {
        // Out of memory: the notification is lost rather than the producer thread.
    }
}

size_t PendingNotificationCount() {
    Hub& hub = GetHub();
    std::lock_guard<std::mutex> g(hub.queueLock);
    return hub.queue.size();
}

bool DispatcherWakeSignalled() { return GetHub().wake.IsSet(); }

WindowPoster SetWindowPosterForTesting(WindowPoster poster) {
    return g_windowPoster.exchange(poster ? poster : &PostWindowMessage);
}

void PostNotification(ClientHandle* client, int32_t code, int32_t argument) {
    if (!client) return;
    try {
        if (GetNotifyCallback()) {
            Enqueue(Notification{client->self, code, argument, client->userData});
        } else if (client->notifyWnd != 0) {
            (void)g_windowPoster.load()(client->notifyWnd, client->notifyMsg, code, argument);
        }
    } catch (...) {
        // Raised from worker threads: a failed delivery is ignored, as a failed post would be.
    }
}

void PostReplayEnd(ClientHandle* client) {
    if (!client) return;
    if (GetNotifyCallback()) Enqueue(Notification{client->self, 7, 0, 0});
}

}  // namespace kavro
