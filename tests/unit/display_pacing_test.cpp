#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "api/ClientHandle.h"
#include "display/Pacing.h"

namespace kavro {
namespace {

TEST(LivePacing, FpsOutsideOneToThirtyBecomesThirty) {
    const struct {
        int32_t in, out;
    } cases[] = {{0, 30}, {-5, 30}, {1, 1}, {25, 25}, {30, 30}, {31, 30}, {50, 30}};
    for (const auto& c : cases) EXPECT_EQ(ClampLiveFps(c.in), c.out) << c.in;
}

TEST(LivePacing, ResyncSleepTable) {
    const struct {
        uint32_t dt;
        int32_t excess;
        uint32_t sleep;
    } rows[] = {
        {0, -3, 20}, {0, 4, 20},  {0, 5, 10},   {0, 14, 10},         {0, 15, 1}, {0, 100, 1},
        {1, 1, 20},  {9, -2, 20}, {5, 2, 15},   {5, 3, 10},          {5, 4, 1},  {9, 7, 1},
        {1, 8, 0},   {9, 50, 0},  {10, 2, 1},   {19, -1, 1},         {10, 3, 0}, {19, 9, 0},
        {20, -9, 0}, {20, 0, 0},  {1000, 1, 0}, {0xFFFFFFFFu, 0, 0},
    };
    for (const auto& r : rows)
        EXPECT_EQ(LiveResyncSleepMs(r.dt, r.excess), r.sleep) << r.dt << "/" << r.excess;
}

TEST(LivePacing, WaitIsDueTimeMinusNowAcrossTickWrap) {
    EXPECT_EQ(LiveWaitMs(33, 3, 1000, 1050), 49);
    EXPECT_EQ(LiveWaitMs(33, 1, 1000, 1100), -67);  // late
    EXPECT_EQ(LiveWaitMs(40, 2, 0xFFFFFFF0u, 0x10u), 48);
}

TEST(LivePacing, QueueDecisions) {
    const struct {
        int32_t queued, jitter;
        bool read;
        int32_t excess, resync;
    } rows[] = {
        {0, 0, false, 0, 1},   // nothing queued
        {1, 0, true, 1, 1},    // beyond the allowance: read and resynchronise
        {2, 2, true, 0, 0},    // within the allowance, two frames: read on the run
        {1, 2, false, -1, 1},  // one frame within the allowance: wait
        {3, 9, true, -6, 0},   // small allowances keep the minimum of two
    };
    for (const auto& r : rows) {
        LiveQueueState s;
        s.resync = 0;
        EXPECT_EQ(LiveShouldRead(r.queued, r.jitter, s), r.read) << r.queued << "/" << r.jitter;
        EXPECT_EQ(s.excess, r.excess) << r.queued << "/" << r.jitter;
        EXPECT_EQ(s.resync, r.resync) << r.queued << "/" << r.jitter;
        EXPECT_EQ(s.minQueue, 2);
    }
}

TEST(LivePacing, LargeJitterAllowanceWaitsForHalfOfItThenReads) {
    LiveQueueState s;
    // jitterFrames 12, queue empty: the loop holds back until 6 frames are queued.
    for (int queued = 0; queued < 6; ++queued) {
        EXPECT_FALSE(LiveShouldRead(queued, 12, s)) << queued;
        EXPECT_EQ(s.minQueue, 6);
        EXPECT_EQ(s.resync, 1);
    }
    s.resync = 0;
    EXPECT_TRUE(LiveShouldRead(6, 12, s));
    EXPECT_EQ(s.excess, -6);
    EXPECT_EQ(s.resync, 0);  // reading within the allowance does not resynchronise
    // Beyond the allowance: read and resynchronise.
    EXPECT_TRUE(LiveShouldRead(13, 12, s));
    EXPECT_EQ(s.excess, 1);
    EXPECT_EQ(s.resync, 1);
}

TEST(Pacer, DueTimes) {
    const struct {
        int32_t shown, fps, speed;
        int64_t due;
    } rows[] = {
        {1, 25, 0, 40},    {3, 30, 0, 100},  {1, 50, 0, 20},     {10, 25, 1, 200}, {10, 25, 4, 25},
        {10, 25, -1, 800}, {1, 25, -4, 640}, {200, 25, 0, 8000}, {1, 0, 0, 0},     {7, 30, 0, 233},
        {1, 25, 9, 2},     {1, 25, -9, 640},  // outside -4..4 counts as the nearest end
    };
    for (const auto& r : rows)
        EXPECT_EQ(PaceDueMs(r.shown, r.fps, r.speed), r.due) << r.shown << "/" << r.fps << "/" << r.speed;
}

// A clock that only moves when the pacer sleeps (or the test advances it).
class FakeClock : public PaceClock {
public:
    uint32_t Now() override { return now; }
    void Sleep(uint32_t ms) override {
        sleeps.push_back(ms);
        now += ms;
    }
    uint32_t now = 0xFFFFFF00u;  // close to the wrap
    std::vector<uint32_t> sleeps;
};

TEST(Pacer, FpsZeroReturnsAtOnceAndTouchesNothing) {
    PacingRecord p;
    p.shown = 7;
    FakeClock clock;
    Pace(p, 3, clock);
    EXPECT_TRUE(clock.sleeps.empty());
    EXPECT_EQ(p.shown.load(), 7);
    EXPECT_EQ(p.speed.load(), 0);
}

TEST(Pacer, PicturesFollowAtTheFrameIntervalWithoutDrift) {
    PacingRecord p;
    p.fps = 30;
    FakeClock clock;
    p.startMs = clock.now;
    for (int i = 0; i < 6; ++i) Pace(p, 0, clock);
    // Due 33, 66, 100, 133, 166, 200 ms after the start (truncated): no drift accumulates.
    EXPECT_EQ(clock.sleeps, (std::vector<uint32_t>{33, 33, 34, 33, 33, 34}));
    EXPECT_EQ(p.shown.load(), 6);
}

TEST(Pacer, LateRunDoesNotSleepAndCatchesUpOnlyToTheSchedule) {
    PacingRecord p;
    p.fps = 25;
    FakeClock clock;
    p.startMs = clock.now;
    clock.now += 100;  // decoding took long: pictures 1 and 2 are late
    Pace(p, 0, clock);
    Pace(p, 0, clock);
    EXPECT_TRUE(clock.sleeps.empty());
    Pace(p, 0, clock);  // due at 120
    EXPECT_EQ(clock.sleeps, (std::vector<uint32_t>{20}));
}

TEST(Pacer, SpeedChangeRestartsTheRunWithoutBurst) {
    PacingRecord p;
    p.fps = 25;
    FakeClock clock;
    p.startMs = clock.now;
    for (int i = 0; i < 5; ++i) Pace(p, 0, clock);
    clock.sleeps.clear();
    clock.now += 500;  // e.g. paused by a slow host
    // At double speed the run starts anew: the next picture comes 20 ms later, not at once.
    Pace(p, 1, clock);
    EXPECT_EQ(p.speed.load(), 1);
    EXPECT_EQ(p.shown.load(), 1);
    EXPECT_EQ(clock.sleeps, (std::vector<uint32_t>{20}));
    Pace(p, -2, clock);
    EXPECT_EQ(clock.sleeps.back(), 160u);
}

TEST(Pacer, RunRestartsAfterTwoHundredPictures) {
    PacingRecord p;
    p.fps = 50;
    FakeClock clock;
    p.startMs = clock.now;
    for (int i = 0; i < 199; ++i) Pace(p, 0, clock);
    EXPECT_EQ(p.shown.load(), 199);
    Pace(p, 0, clock);
    EXPECT_EQ(p.shown.load(), 0);
    EXPECT_EQ(p.startMs.load(), clock.now);
    for (uint32_t s : clock.sleeps) EXPECT_EQ(s, 20u);
    Pace(p, 0, clock);
    EXPECT_EQ(clock.sleeps.back(), 20u);
}

struct Planes {
    Planes(int w, int h, int yStride, int uvStride)
        : y(size_t(yStride) * h), u(size_t(uvStride) * (h / 2)), v(u.size()) {
        std::mt19937 rng(uint32_t(w * 7919 + h));
        for (auto* plane : {&y, &u, &v})
            for (auto& b : *plane) b = uint8_t(rng());
        pic.y = y.data();
        pic.u = u.data();
        pic.v = v.data();
        pic.width = w;
        pic.height = h;
        pic.yStride = yStride;
        pic.uvStride = uvStride;
    }
    std::vector<uint8_t> y, u, v;
    DecodedPicture pic;
};

TEST(Rotation, TwiceGivesBackThePicture) {
    const struct {
        int w, h, yStride, uvStride;
    } sizes[] = {{704, 576, 704, 352}, {704, 576, 768, 384}, {175, 143, 192, 96},
                 {6, 5, 6, 3},         {1, 1, 1, 1},         {2, 3, 8, 4}};
    for (const auto& s : sizes) {
        Planes p(s.w, s.h, s.yStride, s.uvStride);
        const auto y = p.y, u = p.u, v = p.v;
        Rotate180(p.pic);
        if (s.w * s.h > 1) {
            EXPECT_NE(p.y, y) << s.w << "x" << s.h;
        }
        Rotate180(p.pic);
        EXPECT_EQ(p.y, y) << s.w << "x" << s.h;
        EXPECT_EQ(p.u, u) << s.w << "x" << s.h;
        EXPECT_EQ(p.v, v) << s.w << "x" << s.h;
    }
}

TEST(Rotation, EveryPixelMovesToTheOppositeCornerAndPaddingStays) {
    const struct {
        int w, h, yStride, uvStride;
    } sizes[] = {{704, 576, 720, 368}, {6, 5, 8, 4}, {10, 6, 10, 5}};
    for (const auto& s : sizes) {
        Planes p(s.w, s.h, s.yStride, s.uvStride);
        const Planes before = p;
        Rotate180(p.pic);
        for (int i = 0; i < s.h; ++i) {
            for (int j = 0; j < s.w; ++j)
                ASSERT_EQ(p.y[size_t(i) * s.yStride + j],
                          before.y[size_t(s.h - 1 - i) * s.yStride + (s.w - 1 - j)])
                    << s.w << "x" << s.h << " at " << i << "," << j;
            for (int j = s.w; j < s.yStride; ++j)
                ASSERT_EQ(p.y[size_t(i) * s.yStride + j], before.y[size_t(i) * s.yStride + j]) << "padding";
        }
        const int cw = s.w / 2, ch = s.h / 2;
        for (int i = 0; i < ch; ++i)
            for (int j = 0; j < cw; ++j) {
                const size_t to = size_t(i) * s.uvStride + j,
                             from = size_t(ch - 1 - i) * s.uvStride + (cw - 1 - j);
                ASSERT_EQ(p.u[to], before.u[from]);
                ASSERT_EQ(p.v[to], before.v[from]);
            }
    }
}

TEST(Rotation, MalformedPictureIsLeftAlone) {
    Planes p(8, 8, 8, 4);
    const auto y = p.y;
    DecodedPicture bad = p.pic;
    bad.yStride = 4;  // narrower than the picture
    Rotate180(bad);
    bad = p.pic;
    bad.height = -8;
    Rotate180(bad);
    DecodedPicture empty;
    Rotate180(empty);
    EXPECT_EQ(p.y, y);
}

// The live loop sleeps until LiveFramesWanted frames are queued; a count off by one either way
// would stall the picture (never enough) or bring back the polling (always enough).
TEST(LivePacing, FramesWantedIsTheFirstCountThatReads) {
    for (int32_t minQueue : {0, 2, 6, 12}) {
        for (int32_t jitter : {-5, -1, 0, 1, 2, 3, 9, 12, 40}) {
            LiveQueueState base;
            base.minQueue = minQueue;
            const int32_t wanted = LiveFramesWanted(jitter, base);
            LiveQueueState at = base;
            EXPECT_TRUE(LiveShouldRead(wanted, jitter, at)) << minQueue << "/" << jitter;
            if (wanted > 0) {
                LiveQueueState below = base;
                EXPECT_FALSE(LiveShouldRead(wanted - 1, jitter, below)) << minQueue << "/" << jitter;
            }
        }
    }
    LiveQueueState s;
    EXPECT_EQ(LiveFramesWanted(INT32_MAX, s), 2);  // no overflow past the largest allowance
}

}  // namespace
}  // namespace kavro
