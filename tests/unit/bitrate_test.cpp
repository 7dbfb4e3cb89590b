#include <gtest/gtest.h>

#include "api/ClientHandle.h"
#include "display/CBitRate.h"
#include "platform/Tick.h"

using namespace kavro;

TEST(BitRate, KbpsFromCounterDeltas) {
    struct Case {
        uint32_t prev, cur;
        int32_t kbps;
    } cases[] = {
        {0, 0, 0},
        {0, 256000, 2000},
        {1000, 1000 + 128, 1},         // 1024 bits
        {1000, 1000 + 127, 0},         // just under 1 kbit
        {0xFFFFFF00u, 255744u, 2000},  // 256 + 255744 bytes across the wrap
        {0, 0x40000000u, 0x800000},    // 1 GiB in one period does not wrap the product
    };
    for (const Case& c : cases)
        EXPECT_EQ(CBitRate::KbpsFromCounts(c.prev, c.cur), c.kbps) << c.prev << " -> " << c.cur;
}

TEST(BitRate, ThreadPublishesOncePerSecondAndStopsPromptly) {
    ClientHandle client;
    client.byteCount = 0xFFFFFFFFu - 1000;  // wraps within the first second
    CBitRate meter(&client);
    ASSERT_EQ(meter.Start(), 0);
    SleepMs(300);
    EXPECT_EQ(client.measuredKbps.load(), 0) << "nothing before the first second";
    EXPECT_EQ(client.measuredFps.load(), 0);
    // First period counts everything since the start from zero: stays within the first second.
    uint32_t t0 = GetTick();
    while (GetTick() - t0 < 1500 && client.measuredKbps.load() == 0) SleepMs(10);
    // 0xFFFFFFFF-1000 bytes from 0 in one step: (that x 8) >> 10 computed in 64 bits.
    EXPECT_EQ(client.measuredKbps.load(), CBitRate::KbpsFromCounts(0, 0xFFFFFFFFu - 1000));
    // Second period: 256 000 bytes across the wrap and 25 pictures.
    client.byteCount = client.byteCount.load() + 256000u;
    client.frameCount = 25;
    t0 = GetTick();
    while (GetTick() - t0 < 1500 && client.measuredKbps.load() != 2000) SleepMs(10);
    EXPECT_EQ(client.measuredKbps.load(), 2000);
    EXPECT_EQ(client.measuredFps.load(), 25);
    uint32_t s = GetTick();
    meter.Stop();
    EXPECT_LT(GetTick() - s, 500u);
    EXPECT_FALSE(meter.IsRunning());
}
