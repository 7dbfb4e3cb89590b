#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <future>
#include <memory>
#include <thread>

#include "api/ClientHandle.h"
#include "api/HandleTable.h"
#include "api/Library.h"
#include "support/finishes_within.h"

using namespace kavro;

namespace {

using kavro::test::FinishesWithin;

int32_t Ignore(uint32_t, int32_t, int32_t, int32_t) { return 0; }

}  // namespace

TEST(SetWaitTime, StoresCorrectedValues) {
    struct Case {
        int32_t connect, retries, interval;
        int32_t wantConnect, wantRetries, wantInterval;
    } cases[] = {
        {0, -5, -1, 5, 1, 10},
        {3, -1, 0, 3, -1, 0},
        {1, 0, 1, 1, 0, 1},
        {-7, -2, 5, 5, 1, 5},
        {30, 8, 60, 30, 8, 60},
        {INT_MIN, INT_MIN, INT_MIN, 5, 1, 10},
        {INT_MAX, INT_MAX, INT_MAX, INT_MAX, INT_MAX, INT_MAX},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.connect << "," << c.retries << "," << c.interval);
        EXPECT_EQ(1, KAVRO_SetWaitTime(c.connect, c.retries, c.interval));
        EXPECT_EQ(c.wantConnect, GetConnectTimeoutSec());
        EXPECT_EQ(c.wantRetries, GetRetryCount());
        EXPECT_EQ(c.wantInterval, GetRetryIntervalSec());
    }
    KAVRO_SetWaitTime(5, 1, 10);
}

TEST(GetClientState, UnresolvedHandlesReport0xFFFF) {
    ClientHandle live, file, closed;
    KAVRO_CLIENT_RECORD record = {};
    ASSERT_TRUE(InitLiveClient(&live, &record));
    ASSERT_TRUE(InitFileClient(&file, "/tmp/x.rec", 0));
    const uint32_t hLive = RegisterClient(&live);
    const uint32_t hFile = RegisterClient(&file);
    const uint32_t hClosed = RegisterClient(&closed);
    ASSERT_NE(0u, hLive);
    ASSERT_NE(0u, hFile);
    ASSERT_EQ(&closed, UnregisterClient(hClosed));

    EXPECT_EQ(1, KAVRO_GetClientState(hLive));
    live.state = 3;
    EXPECT_EQ(3, KAVRO_GetClientState(hLive));
    EXPECT_EQ(0, KAVRO_GetClientState(hFile));
    EXPECT_EQ(0xFFFF, KAVRO_GetClientState(0));
    EXPECT_EQ(0xFFFF, KAVRO_GetClientState(hClosed));
    EXPECT_EQ(0xFFFF, KAVRO_GetClientState(0xDEADBEEF));
    EXPECT_EQ(0xFFFF, KAVRO_GetClientState(hLive ^ 0x80000000u));

    EXPECT_EQ(&live, UnregisterClient(hLive));
    EXPECT_EQ(&file, UnregisterClient(hFile));
    EXPECT_EQ(0xFFFF, KAVRO_GetClientState(hLive));
}

TEST(Lifecycle, CleanupWithoutStartupReturnsAtOnce) {
    ASSERT_FALSE(IsLibraryStarted());
    EXPECT_TRUE(FinishesWithin([] { KAVRO_Cleanup(); }, 5000));
    EXPECT_TRUE(FinishesWithin([] { KAVRO_Cleanup(); }, 5000));
    EXPECT_FALSE(IsLibraryStarted());
}

TEST(Lifecycle, StartupAndCleanupRepeat) {
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(1, KAVRO_Startup(1, 2, &Ignore, 4)) << i;
        EXPECT_TRUE(IsLibraryStarted());
        EXPECT_EQ(&Ignore, GetNotifyCallback());
        ASSERT_TRUE(FinishesWithin([] { KAVRO_Cleanup(); }, 5000)) << i;
        EXPECT_FALSE(IsLibraryStarted());
        KAVRO_Cleanup();  // a second Cleanup is harmless
    }
}

TEST(Lifecycle, StartupWhileStartedReplacesOnlyTheCallback) {
    ASSERT_EQ(1, KAVRO_Startup(0, 0, nullptr, 0));
    EXPECT_EQ(nullptr, GetNotifyCallback());
    ASSERT_EQ(1, KAVRO_Startup(0, 0, &Ignore, 0));
    EXPECT_EQ(&Ignore, GetNotifyCallback());
    ASSERT_TRUE(FinishesWithin([] { KAVRO_Cleanup(); }, 5000));
    EXPECT_FALSE(IsLibraryStarted());
}
