#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <tuple>
#include <vector>

#include "api/ClientHandle.h"
#include "api/HandleTable.h"
#include "api/Library.h"
#include "api/Notification.h"

using namespace kavro;

namespace {

using Seen = std::tuple<uint32_t, int32_t, int32_t, int32_t>;

// What the host callback saw, and a gate that can hold the dispatcher inside the callback.
struct Recorder {
    std::mutex m;
    std::condition_variable cv;
    std::vector<Seen> seen;
    std::vector<std::thread::id> threads;
    bool holdFirst = false;
    bool gateOpen = true;
    bool inCallback = false;
    bool throwFirst = false;
    bool cleanupFromCallback = false;

    void Reset() {
        std::lock_guard<std::mutex> g(m);
        seen.clear();
        threads.clear();
        holdFirst = throwFirst = cleanupFromCallback = inCallback = false;
        gateOpen = true;
    }
    bool WaitFor(size_t n, int ms = 5000) {
        std::unique_lock<std::mutex> l(m);
        return cv.wait_for(l, std::chrono::milliseconds(ms), [&] { return seen.size() >= n; });
    }
    bool WaitInCallback(int ms = 5000) {
        std::unique_lock<std::mutex> l(m);
        return cv.wait_for(l, std::chrono::milliseconds(ms), [&] { return inCallback; });
    }
    void OpenGate() {
        std::lock_guard<std::mutex> g(m);
        gateOpen = true;
        cv.notify_all();
    }
    std::vector<Seen> Snapshot() {
        std::lock_guard<std::mutex> g(m);
        return seen;
    }
};
Recorder g_rec;

int32_t Callback(uint32_t handle, int32_t code, int32_t argument, int32_t userValue) {
    bool doThrow = false, doCleanup = false;
    {
        std::unique_lock<std::mutex> l(g_rec.m);
        const bool first = g_rec.seen.empty();
        g_rec.seen.emplace_back(handle, code, argument, userValue);
        g_rec.threads.push_back(std::this_thread::get_id());
        g_rec.inCallback = true;
        g_rec.cv.notify_all();
        if (first && g_rec.holdFirst) {
            g_rec.gateOpen = false;
            g_rec.cv.wait_for(l, std::chrono::seconds(10), [] { return g_rec.gateOpen; });
        }
        doThrow = first && g_rec.throwFirst;
        doCleanup = g_rec.cleanupFromCallback;
        g_rec.inCallback = false;
    }
    if (doCleanup) KAVRO_Cleanup();
    if (doThrow) throw std::runtime_error("host callback failed");
    return 0;
}

struct Posted {
    uint32_t wnd, msg;
    int32_t code, argument;
};
std::mutex g_postedLock;
std::vector<Posted> g_posted;

bool FakePoster(uint32_t wnd, uint32_t msg, int32_t code, int32_t argument) {
    std::lock_guard<std::mutex> g(g_postedLock);
    g_posted.push_back({wnd, msg, code, argument});
    return true;
}

template <typename P>
bool Eventually(P pred, int ms = 5000) {
    for (int waited = 0; waited < ms; waited += 2) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return pred();
}

class Notifications : public testing::Test {
protected:
    void SetUp() override {
        g_rec.Reset();
        {
            std::lock_guard<std::mutex> g(g_postedLock);
            g_posted.clear();
        }
        SetWindowPosterForTesting(&FakePoster);
        a_.notifyWnd = 0x100;
        a_.notifyMsg = 500;
        a_.userData = 11;
        b_.notifyWnd = 0x200;
        b_.notifyMsg = 600;
        b_.userData = 22;
        ASSERT_NE(0u, RegisterClient(&a_));
        ASSERT_NE(0u, RegisterClient(&b_));
    }
    void TearDown() override {
        g_rec.OpenGate();
        KAVRO_Cleanup();
        UnregisterClient(a_.self);
        UnregisterClient(b_.self);
        SetWindowPosterForTesting(nullptr);
    }
    std::vector<Posted> Posts() {
        std::lock_guard<std::mutex> g(g_postedLock);
        return g_posted;
    }

    ClientHandle a_, b_;
};

}  // namespace

TEST_F(Notifications, ReachTheCallbackInRaiseOrderAcrossClientsOnTheDispatcherThread) {
    ASSERT_EQ(1, KAVRO_Startup(0, 0, &Callback, 0));
    {
        std::lock_guard<std::mutex> g(g_rec.m);
        g_rec.holdFirst = true;  // lets the rest pile up in the queue behind the first
    }
    std::vector<Seen> raised;
    PostNotification(&a_, 1, 1);
    raised.emplace_back(a_.self, 1, 1, 11);
    ASSERT_TRUE(g_rec.WaitInCallback());
    for (int i = 0; i < 40; ++i) {
        ClientHandle& c = (i % 3 == 0) ? b_ : a_;
        const int32_t code = (i % 2) ? 6 : 2;
        PostNotification(&c, code, i);
        raised.emplace_back(c.self, code, i, c.userData);
    }
    PostReplayEnd(&b_);
    raised.emplace_back(b_.self, 7, 0, 0);  // replay end carries no user value
    EXPECT_EQ(raised.size() - 1, PendingNotificationCount());
    EXPECT_TRUE(DispatcherWakeSignalled());

    g_rec.OpenGate();
    ASSERT_TRUE(g_rec.WaitFor(raised.size()));
    ASSERT_TRUE(Eventually([] { return !DispatcherWakeSignalled(); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // nothing delivered twice
    EXPECT_EQ(raised, g_rec.Snapshot());
    EXPECT_EQ(0u, PendingNotificationCount());
    EXPECT_FALSE(DispatcherWakeSignalled());
    EXPECT_TRUE(Posts().empty());  // a registered callback takes every notification

    std::lock_guard<std::mutex> g(g_rec.m);
    for (std::thread::id t : g_rec.threads) {
        EXPECT_EQ(g_rec.threads.front(), t);
        EXPECT_NE(std::this_thread::get_id(), t);
    }
}

TEST_F(Notifications, ThreeInARowResetTheWakeSignalAfterTheLast) {
    ASSERT_EQ(1, KAVRO_Startup(0, 0, &Callback, 0));
    PostNotification(&a_, 1, 0);
    PostNotification(&b_, 1, 3);
    PostNotification(&a_, 4, 2);
    ASSERT_TRUE(g_rec.WaitFor(3));
    EXPECT_TRUE(Eventually([] { return !DispatcherWakeSignalled(); }));
    const std::vector<Seen> want = {Seen{a_.self, 1, 0, 11}, Seen{b_.self, 1, 3, 22},
                                    Seen{a_.self, 4, 2, 11}};
    EXPECT_EQ(want, g_rec.Snapshot());
}

TEST_F(Notifications, WithoutCallbackGoToTheWindowAndReplayEndIsDropped) {
    ASSERT_EQ(1, KAVRO_Startup(0, 0, nullptr, 0));
    ClientHandle noWindow;
    noWindow.userData = 5;
    PostNotification(&a_, 1, 3);
    PostReplayEnd(&a_);
    PostNotification(&noWindow, 1, 3);
    PostReplayEnd(&noWindow);
    PostNotification(&b_, 2, 0x8001);

    const std::vector<Posted> posts = Posts();
    ASSERT_EQ(2u, posts.size());
    EXPECT_EQ(0x100u, posts[0].wnd);
    EXPECT_EQ(500u, posts[0].msg);
    EXPECT_EQ(1, posts[0].code);
    EXPECT_EQ(3, posts[0].argument);
    EXPECT_EQ(0x200u, posts[1].wnd);
    EXPECT_EQ(600u, posts[1].msg);
    EXPECT_EQ(2, posts[1].code);
    EXPECT_EQ(0x8001, posts[1].argument);
    EXPECT_EQ(0u, PendingNotificationCount());
    EXPECT_TRUE(g_rec.Snapshot().empty());
}

TEST_F(Notifications, CleanupDropsQueuedOnesAndARestartDeliversOnlyNewOnes) {
    ASSERT_EQ(1, KAVRO_Startup(0, 0, &Callback, 0));
    {
        std::lock_guard<std::mutex> g(g_rec.m);
        g_rec.holdFirst = true;
    }
    PostNotification(&a_, 1, 0);
    ASSERT_TRUE(g_rec.WaitInCallback());
    for (int i = 0; i < 50; ++i) PostNotification(&b_, 2, i);
    EXPECT_EQ(50u, PendingNotificationCount());

    std::promise<void> cleaned;
    std::future<void> cleanedF = cleaned.get_future();
    std::thread cleaner([&] {
        KAVRO_Cleanup();
        cleaned.set_value();
    });
    // Cleanup must wait for the callback in progress.
    EXPECT_EQ(std::future_status::timeout, cleanedF.wait_for(std::chrono::milliseconds(50)));
    g_rec.OpenGate();
    EXPECT_EQ(std::future_status::ready, cleanedF.wait_for(std::chrono::seconds(5)));
    cleaner.join();
    EXPECT_EQ(1u, g_rec.Snapshot().size());
    EXPECT_EQ(0u, PendingNotificationCount());

    // The callback stays registered but nothing runs it: raising must not grow a queue.
    PostNotification(&a_, 1, 3);
    EXPECT_EQ(0u, PendingNotificationCount());

    g_rec.Reset();
    ASSERT_EQ(1, KAVRO_Startup(0, 0, &Callback, 0));
    PostNotification(&a_, 6, 1);
    ASSERT_TRUE(g_rec.WaitFor(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const std::vector<Seen> want = {Seen{a_.self, 6, 1, 11}};
    EXPECT_EQ(want, g_rec.Snapshot());
}

TEST_F(Notifications, CleanupFromInsideTheCallbackThenStartAgain) {
    ASSERT_EQ(1, KAVRO_Startup(0, 0, &Callback, 0));
    {
        std::lock_guard<std::mutex> g(g_rec.m);
        g_rec.cleanupFromCallback = true;
    }
    PostNotification(&a_, 1, 0);
    ASSERT_TRUE(g_rec.WaitFor(1));
    ASSERT_TRUE(Eventually([] { return !IsLibraryStarted(); }));

    g_rec.Reset();
    ASSERT_EQ(1, KAVRO_Startup(0, 0, &Callback, 0));
    PostNotification(&b_, 1, 4);
    ASSERT_TRUE(g_rec.WaitFor(1));
    const std::vector<Seen> want = {Seen{b_.self, 1, 4, 22}};
    EXPECT_EQ(want, g_rec.Snapshot());
}

TEST_F(Notifications, AThrowingCallbackDoesNotStopTheDispatcher) {
    ASSERT_EQ(1, KAVRO_Startup(0, 0, &Callback, 0));
    {
        std::lock_guard<std::mutex> g(g_rec.m);
        g_rec.throwFirst = true;
    }
    PostNotification(&a_, 1, 0);
    PostNotification(&a_, 1, 3);
    ASSERT_TRUE(g_rec.WaitFor(2));
}

TEST_F(Notifications, RepeatedStartAndCleanupEachDeliver) {
    for (int i = 0; i < 15; ++i) {
        g_rec.Reset();
        ASSERT_EQ(1, KAVRO_Startup(0, 0, &Callback, 0));
        PostNotification(&a_, 1, i);
        PostNotification(&b_, 1, i);  // may still be queued at Cleanup: must be freed, not leaked
        ASSERT_TRUE(g_rec.WaitFor(1)) << i;
        KAVRO_Cleanup();
        EXPECT_EQ(0u, PendingNotificationCount());
        const std::vector<Seen> seen = g_rec.Snapshot();
        ASSERT_FALSE(seen.empty());
        EXPECT_EQ(Seen(a_.self, 1, i, 11), seen.front());
    }
}

TEST_F(Notifications, NullClientIsIgnored) {
    ASSERT_EQ(1, KAVRO_Startup(0, 0, &Callback, 0));
    PostNotification(nullptr, 1, 0);
    PostReplayEnd(nullptr);
    EXPECT_EQ(0u, PendingNotificationCount());
}
