#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "api/ClientHandle.h"
#include "api/HandleTable.h"
#include "support/finishes_within.h"

using namespace kavro;

namespace {

using kavro::test::FinishesWithin;

// Waits (bounded) until pred holds.
template <typename P>
bool Eventually(P pred, int ms = 5000) {
    for (int waited = 0; waited < ms; waited += 2) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return pred();
}

constexpr uint32_t kIndexMask = (1u << HandleTable::kIndexBits) - 1;

}  // namespace

TEST(HandleTable, ResolvesOnlyTheExactLiveValue) {
    HandleTable table(4);
    ClientHandle a, b;
    const uint32_t ha = table.Register(&a);
    const uint32_t hb = table.Register(&b);
    ASSERT_NE(0u, ha);
    ASSERT_NE(0u, hb);
    EXPECT_EQ(ha, a.self);
    EXPECT_EQ(hb, b.self);
    EXPECT_NE(ha, hb);

    struct Case {
        const char* name;
        uint32_t handle;
        ClientHandle* expected;
    } cases[] = {
        {"a", ha, &a},
        {"b", hb, &b},
        {"zero", 0, nullptr},
        {"all ones", 0xFFFFFFFFu, nullptr},
        {"index never handed out", (ha & ~kIndexMask) | 4, nullptr},
        {"index beyond capacity", (ha & ~kIndexMask) | kIndexMask, nullptr},
        {"right index, other generation", ha ^ (1u << HandleTable::kIndexBits), nullptr},
        {"generation bits only", ha & ~kIndexMask, nullptr},
    };
    for (const Case& c : cases) {
        HandleRef r = table.Acquire(c.handle);
        EXPECT_EQ(c.expected, r.get()) << c.name;
    }
}

TEST(HandleTable, ClosedValueNeverResolvesToTheClientThatReusedItsSlot) {
    HandleTable table(1);  // one slot, so the second client must reuse it
    ClientHandle a, b;
    const uint32_t ha = table.Register(&a);
    ASSERT_NE(0u, ha);
    EXPECT_EQ(&a, table.Unregister(ha));

    const uint32_t hb = table.Register(&b);
    ASSERT_NE(0u, hb);
    EXPECT_EQ(ha & kIndexMask, hb & kIndexMask);
    EXPECT_NE(ha, hb);

    EXPECT_FALSE(table.Acquire(ha));
    EXPECT_EQ(nullptr, table.Unregister(ha));  // a stale close must not remove the new client
    HandleRef rb = table.Acquire(hb);
    EXPECT_EQ(&b, rb.get());
    rb.Release();
    EXPECT_EQ(&b, table.Unregister(hb));
    EXPECT_EQ(nullptr, table.Unregister(hb));
}

TEST(HandleTable, RefusesNullAndAFullTable) {
    HandleTable table(2);
    ClientHandle a, b, c;
    EXPECT_EQ(0u, table.Register(nullptr));
    EXPECT_NE(0u, table.Register(&a));
    EXPECT_NE(0u, table.Register(&b));
    EXPECT_EQ(0u, table.Register(&c));
    EXPECT_EQ(0u, c.self);
    EXPECT_EQ(&a, table.Unregister(a.self));
    EXPECT_NE(0u, table.Register(&c));
}

TEST(HandleTable, UnregisterWaitsForAPinHeldByAnotherThread) {
    HandleTable table(4);
    ClientHandle client;
    const uint32_t h = table.Register(&client);

    std::promise<void> pinned, release;
    std::shared_future<void> releaseF = release.get_future().share();
    std::thread holder([&, releaseF] {
        HandleRef r = table.Acquire(h);
        pinned.set_value();
        releaseF.wait_for(std::chrono::seconds(10));
    });
    pinned.get_future().wait();

    std::atomic<bool> returned{false};
    ClientHandle* result = nullptr;
    std::thread closer([&] {
        result = table.Unregister(h);
        returned = true;
    });
    // Once the close has begun, new pins are refused, yet it must not return under the held pin.
    EXPECT_TRUE(Eventually([&] { return !table.Acquire(h); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(returned.load());

    release.set_value();
    holder.join();
    EXPECT_TRUE(Eventually([&] { return returned.load(); }));
    closer.join();
    EXPECT_EQ(&client, result);
}

TEST(HandleTable, OwnPinDoesNotBlockUnregisterAndHoldsTheSlotUntilReleased) {
    HandleTable table(1);
    ClientHandle a, b;
    const uint32_t ha = table.Register(&a);
    ClientHandle* removed = nullptr;
    bool registeredWhilePinned = true;
    ASSERT_TRUE(FinishesWithin(
        [&] {
            HandleRef own = table.Acquire(ha);
            removed = table.Unregister(ha);
            // The slot still carries this thread's pin: it must not be handed out yet.
            registeredWhilePinned = table.Register(&b) != 0;
        },
        5000));
    EXPECT_EQ(&a, removed);
    EXPECT_FALSE(registeredWhilePinned);
    EXPECT_NE(0u, table.Register(&b));  // pin gone with the scope
    EXPECT_EQ(&b, table.Acquire(b.self).get());
}

TEST(HandleTable, SecondConcurrentUnregisterFailsInsteadOfWaiting) {
    HandleTable table(4);
    ClientHandle client;
    const uint32_t h = table.Register(&client);
    std::promise<void> pinned, release;
    std::shared_future<void> releaseF = release.get_future().share();
    // Both threads pin, then both try to close: the first waits for the other's pin, the other
    // must fail at once (and so drop its pin), or the two would wait for each other forever.
    std::thread other([&, releaseF] {
        HandleRef r = table.Acquire(h);
        pinned.set_value();
        releaseF.wait_for(std::chrono::seconds(10));
        EXPECT_EQ(nullptr, table.Unregister(h));
    });
    pinned.get_future().wait();
    ClientHandle* result = nullptr;
    std::thread closer([&] {
        HandleRef mine = table.Acquire(h);
        result = table.Unregister(h);
    });
    EXPECT_TRUE(Eventually([&] { return !table.Acquire(h); }));
    release.set_value();
    other.join();
    closer.join();
    EXPECT_EQ(&client, result);
}

// Readers on several threads keep resolving a handle while it is closed and freed: with a pin
// held, the client memory must still be alive (the sanitizer build reports a use after free).
TEST(HandleTable, PinnedClientIsNeverFreedUnderAReader) {
    HandleTable table(8);
    std::atomic<uint32_t> current{0};
    std::atomic<bool> stop{false};
    std::atomic<long> hits{0};
    std::vector<std::thread> readers;
    for (int i = 0; i < 3; ++i) {
        readers.emplace_back([&] {
            while (!stop.load()) {
                HandleRef r = table.Acquire(current.load());
                if (!r) continue;
                r->byteCount.fetch_add(1);
                r->state.store(r->state.load() + 1);
                hits.fetch_add(1);
            }
        });
    }
    for (int i = 0; i < 200; ++i) {
        auto* c = new ClientHandle();
        const uint32_t h = table.Register(c);
        ASSERT_NE(0u, h);
        current = h;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        ClientHandle* removed = table.Unregister(h);
        EXPECT_EQ(c, removed);
        delete removed;
    }
    stop = true;
    for (auto& t : readers) t.join();
    EXPECT_GT(hits.load(), 0);
}
