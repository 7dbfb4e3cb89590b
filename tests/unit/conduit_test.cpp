#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <thread>
#include <vector>

#include "conduit/CBufferConduit.h"
#include "platform/Tick.h"

using namespace kavro;

namespace {

std::vector<uint8_t> Pattern(int n, uint8_t seed) {
    std::vector<uint8_t> v(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) v[static_cast<size_t>(i)] = static_cast<uint8_t>(seed + i * 7);
    return v;
}

uint32_t Elapsed(uint32_t since) { return GetTick() - since; }

struct ByteConduit : ::testing::Test {
    CBufferConduit c;
    void SetUp() override { ASSERT_TRUE(c.Init(16, 0, 8192, 0)); }
};

struct FrameConduit : ::testing::Test {
    CBufferConduit c;
    void SetUp() override { ASSERT_TRUE(c.Init(256, 0, 8192, 1)); }
};

}  // namespace

TEST(ConduitInit, RefusesSecondCallAndZeroCapacity) {
    CBufferConduit a;
    EXPECT_TRUE(a.Init(64, 0, 8192, 0));
    EXPECT_FALSE(a.Init(64, 0, 8192, 0));

    CBufferConduit zero;
    EXPECT_FALSE(zero.Init(0, 0, 8192, 0));
    uint8_t b = 1;
    EXPECT_FALSE(zero.Write(&b, 1, 0));
    EXPECT_EQ(0, zero.Read(&b, 1, nullptr, 0));

    CBufferConduit never;  // used without Init: every call refuses and nothing blocks
    EXPECT_FALSE(never.Write(&b, 1, 1));
    EXPECT_EQ(0, never.ReadFrame(&b, 1, nullptr, 1000));
    never.Close();
    never.Reset();
}

// Drives the ring through many wrap positions against a reference queue.
TEST_F(ByteConduit, MatchesReferenceQueueAcrossWrapPositions) {
    std::deque<uint8_t> model;
    uint8_t seed = 0;
    const int writes[] = {5, 11, 3, 16, 1, 7, 9, 2, 13, 4};
    const int reads[] = {3, 9, 1, 12, 5, 2, 16, 8, 4, 6};
    for (int round = 0; round < 40; ++round) {
        int w = writes[round % 10];
        auto data = Pattern(w, seed++);
        bool fits = static_cast<int>(model.size()) + w <= 16;
        ASSERT_EQ(fits, c.Write(data.data(), w, 0)) << "round " << round;
        if (fits) model.insert(model.end(), data.begin(), data.end());

        int r = reads[round % 10];
        std::vector<uint8_t> out(static_cast<size_t>(r), 0xEE);
        int remaining = -1;
        int got = c.Read(out.data(), r, &remaining, 0);
        if (static_cast<int>(model.size()) >= r) {
            ASSERT_EQ(r, got) << "round " << round;
            std::vector<uint8_t> expect(model.begin(), model.begin() + r);
            model.erase(model.begin(), model.begin() + r);
            EXPECT_EQ(expect, out) << "round " << round;
            EXPECT_EQ(static_cast<int>(model.size()), remaining);
        } else {
            ASSERT_EQ(0, got) << "round " << round;
        }
        ASSERT_EQ(static_cast<int>(model.size()), c.GetDataSize());
    }
}

TEST_F(ByteConduit, WriteEndingAtRingEndContinuesAtStart) {
    auto a = Pattern(10, 1), b = Pattern(6, 50), d = Pattern(10, 90);
    std::vector<uint8_t> out(16);
    ASSERT_TRUE(c.Write(a.data(), 10, 0));
    ASSERT_EQ(10, c.Read(out.data(), 10, nullptr, 0));
    ASSERT_TRUE(c.Write(b.data(), 6, 0));   // ends exactly at the ring's end
    ASSERT_TRUE(c.Write(d.data(), 10, 0));  // so this one must start at offset 0
    ASSERT_EQ(16, c.Read(out.data(), 16, nullptr, 0));
    std::vector<uint8_t> expect(b);
    expect.insert(expect.end(), d.begin(), d.end());
    EXPECT_EQ(expect, out);
}

TEST_F(ByteConduit, FullRingRefusesOneMoreByteAndKeepsContents) {
    auto a = Pattern(16, 3);
    ASSERT_TRUE(c.Write(a.data(), 16, 0));
    uint8_t one = 0x55;
    EXPECT_FALSE(c.Write(&one, 1, 0));
    EXPECT_EQ(16, c.GetDataSize());
    std::vector<uint8_t> out(16);
    ASSERT_EQ(16, c.Read(out.data(), 16, nullptr, 0));
    EXPECT_EQ(a, out);
}

TEST_F(ByteConduit, RefusesBadArguments) {
    uint8_t b[4] = {};
    EXPECT_FALSE(c.Write(b, -1, 0));
    EXPECT_FALSE(c.Write(nullptr, 3, 0));
    EXPECT_FALSE(c.Write(b, 17, 0));  // larger than the ring
    ASSERT_TRUE(c.Write(b, 4, 0));
    EXPECT_EQ(0, c.Read(nullptr, 4, nullptr, 0));
    EXPECT_EQ(0, c.Read(b, -4, nullptr, 0));
    EXPECT_EQ(4, c.GetDataSize());
}

TEST(ConduitRead, TooLittleDataReturnsNothingAndResetsDataEvent) {
    CBufferConduit c;
    ASSERT_TRUE(c.Init(2048, 0, 8192, 0));
    auto a = Pattern(799, 9);
    ASSERT_TRUE(c.Write(a.data(), 799, 0));
    std::vector<uint8_t> out(800, 0);
    EXPECT_EQ(0, c.Read(out.data(), 800, nullptr, 1000));
    EXPECT_EQ(799, c.GetDataSize());
    // The data event is now reset: the next short read really waits for its time-out.
    uint32_t t0 = GetTick();
    EXPECT_EQ(0, c.Read(out.data(), 800, nullptr, 150));
    EXPECT_GE(Elapsed(t0), 140u);
    // One more byte completes the request.
    uint8_t last = 0x77;
    ASSERT_TRUE(c.Write(&last, 1, 0));
    ASSERT_EQ(800, c.Read(out.data(), 800, nullptr, 1000));
    EXPECT_TRUE(std::equal(a.begin(), a.end(), out.begin()));
    EXPECT_EQ(0x77, out[799]);
}

TEST(ConduitRead, EmptyConduitTimesOut) {
    CBufferConduit c;
    ASSERT_TRUE(c.Init(64, 0, 8192, 1));
    uint8_t out[8];
    uint32_t t0 = GetTick();
    EXPECT_EQ(0, c.Read(out, 1, nullptr, 80));
    EXPECT_GE(Elapsed(t0), 70u);
    t0 = GetTick();
    EXPECT_EQ(0, c.ReadFrame(out, 8, nullptr, 80));
    EXPECT_GE(Elapsed(t0), 70u);
}

TEST(ConduitRead, WaitingReaderWakesOnWrite) {
    CBufferConduit c;
    ASSERT_TRUE(c.Init(64, 0, 8192, 1));
    std::thread producer([&] {
        SleepMs(30);
        uint8_t f[5] = {1, 2, 3, 4, 5};
        c.Write(f, 5, 1);
    });
    uint8_t out[8] = {};
    int left = -1;
    uint32_t t0 = GetTick();
    int n = c.ReadFrame(out, 8, &left, 5000);
    producer.join();
    EXPECT_EQ(5, n);
    EXPECT_EQ(0, left);
    EXPECT_EQ(5, out[4]);
    EXPECT_LT(Elapsed(t0), 2000u);
}

TEST(ConduitWaitFrames, WakesOnTheFrameThatCompletesTheCountNotBefore) {
    CBufferConduit c;
    ASSERT_TRUE(c.Init(256, 0, 8192, 1));
    uint8_t f[4] = {1, 2, 3, 4};
    ASSERT_TRUE(c.Write(f, 4, 1));
    std::atomic<int> written{1};
    std::thread producer([&] {
        SleepMs(30);
        c.Write(f, 4, 0);  // a piece does not complete a frame
        SleepMs(30);
        written = 2;
        c.Write(f, 4, 1);
    });
    const uint32_t t0 = GetTick();
    const bool got = c.WaitFrames(2, 5000);
    const int seen = written.load();
    producer.join();
    EXPECT_TRUE(got);
    EXPECT_EQ(2, seen);
    EXPECT_EQ(2, c.GetFrameCount());
    EXPECT_LT(Elapsed(t0), 2000u);
    EXPECT_TRUE(c.WaitFrames(2, 0));  // already there: no wait
}

TEST(ConduitWaitFrames, TimesOutAndCloseWakesTheWaiter) {
    CBufferConduit c;
    ASSERT_TRUE(c.Init(256, 0, 8192, 1));
    uint32_t t0 = GetTick();
    EXPECT_FALSE(c.WaitFrames(1, 40));
    EXPECT_GE(Elapsed(t0), 30u);

    std::atomic<int> result{-1};
    std::thread waiter([&] { result = c.WaitFrames(1, 5000) ? 1 : 0; });
    SleepMs(30);
    t0 = GetTick();
    c.Close();
    waiter.join();
    EXPECT_EQ(0, result.load());
    EXPECT_LT(Elapsed(t0), 2000u);
}

TEST_F(FrameConduit, PiecesMakeOneFrameReadInParts) {
    auto a = Pattern(3, 1), b = Pattern(1, 2), d = Pattern(100, 3);
    ASSERT_TRUE(c.Write(a.data(), 3, 0));
    ASSERT_TRUE(c.Write(b.data(), 1, 0));
    EXPECT_EQ(0, c.GetFrameCount());
    ASSERT_TRUE(c.Write(d.data(), 100, 1));
    EXPECT_EQ(1, c.GetFrameCount());

    std::vector<uint8_t> whole(a);
    whole.insert(whole.end(), b.begin(), b.end());
    whole.insert(whole.end(), d.begin(), d.end());

    std::vector<uint8_t> out(104, 0);
    int left = -1;
    ASSERT_EQ(50, c.ReadFrame(out.data(), 50, &left, 0));
    EXPECT_EQ(1, left);
    EXPECT_EQ(1, c.GetFrameCount());
    ASSERT_EQ(54, c.ReadFrame(out.data() + 50, 200, &left, 0));
    EXPECT_EQ(0, left);
    EXPECT_EQ(0, c.GetFrameCount());
    EXPECT_EQ(whole, out);
    EXPECT_EQ(0, c.GetDataSize());
}

TEST_F(FrameConduit, OnlyEndOfFrameOneCompletesAFrame) {
    uint8_t b[4] = {9, 9, 9, 9};
    for (int eof : {0, 2, -1, 255}) {
        ASSERT_TRUE(c.Write(b, 1, eof)) << eof;
        EXPECT_EQ(0, c.GetFrameCount()) << "endOfFrame " << eof;
    }
    ASSERT_TRUE(c.Write(b, 1, 1));
    EXPECT_EQ(1, c.GetFrameCount());
    uint8_t out[16];
    EXPECT_EQ(5, c.ReadFrame(out, 16, nullptr, 0));
}

TEST_F(FrameConduit, FramesComeOutSeparatelyInOrder) {
    auto a = Pattern(7, 10), b = Pattern(20, 40);
    ASSERT_TRUE(c.Write(a.data(), 7, 1));
    ASSERT_TRUE(c.Write(b.data(), 20, 1));
    std::vector<uint8_t> out(64);
    int left = -1;
    ASSERT_EQ(7, c.ReadFrame(out.data(), 64, &left, 0));
    EXPECT_EQ(1, left);
    EXPECT_TRUE(std::equal(a.begin(), a.end(), out.begin()));
    ASSERT_EQ(20, c.ReadFrame(out.data(), 64, &left, 0));
    EXPECT_EQ(0, left);
    EXPECT_TRUE(std::equal(b.begin(), b.end(), out.begin()));
    // Nothing complete is left: the open frame's bytes are not handed out.
    ASSERT_TRUE(c.Write(a.data(), 7, 0));
    EXPECT_EQ(0, c.ReadFrame(out.data(), 64, &left, 0));
    EXPECT_EQ(7, c.GetDataSize());
}

TEST_F(FrameConduit, RefusedWriteKeepsEarlierPiecesOfTheFrame) {
    auto a = Pattern(200, 1), big = Pattern(100, 2), tail = Pattern(50, 3);
    ASSERT_TRUE(c.Write(a.data(), 200, 0));
    EXPECT_FALSE(c.Write(big.data(), 100, 1));  // 300 > 256
    ASSERT_TRUE(c.Write(tail.data(), 50, 1));
    std::vector<uint8_t> out(256);
    ASSERT_EQ(250, c.ReadFrame(out.data(), 256, nullptr, 0));
    EXPECT_TRUE(std::equal(a.begin(), a.end(), out.begin()));
    EXPECT_TRUE(std::equal(tail.begin(), tail.end(), out.begin() + 200));
}

TEST_F(FrameConduit, BadReadArgumentsConsumeNothing) {
    uint8_t b[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_TRUE(c.Write(b, 8, 1));
    EXPECT_EQ(0, c.ReadFrame(b, 0, nullptr, 0));
    EXPECT_EQ(0, c.ReadFrame(b, -5, nullptr, 0));
    EXPECT_EQ(0, c.ReadFrame(nullptr, 8, nullptr, 0));
    EXPECT_EQ(8, c.GetDataSize());
    EXPECT_EQ(1, c.GetFrameCount());
}

TEST_F(FrameConduit, ByteReadInFrameModeNeverOverdrawsTheRing) {
    auto a = Pattern(10, 5);
    ASSERT_TRUE(c.Write(a.data(), 10, 1));
    uint8_t out[16];
    ASSERT_EQ(6, c.Read(out, 6, nullptr, 0));
    ASSERT_EQ(4, c.ReadFrame(out, 16, nullptr, 0));
    EXPECT_EQ(a[6], out[0]);
    EXPECT_EQ(0, c.GetDataSize());
    EXPECT_EQ(0, c.GetFrameCount());
}

TEST(ConduitByteMode, ReadFrameRefused) {
    CBufferConduit c;
    ASSERT_TRUE(c.Init(64, 0, 8192, 0));
    uint8_t b[4] = {1, 2, 3, 4};
    ASSERT_TRUE(c.Write(b, 4, 1));
    EXPECT_EQ(0, c.GetFrameCount());
    EXPECT_EQ(0, c.ReadFrame(b, 4, nullptr, 0));
    EXPECT_EQ(4, c.GetDataSize());
}

TEST(ConduitClose, FailsAtOnceWakesWaiterAndResetReopensEmpty) {
    CBufferConduit c;
    ASSERT_TRUE(c.Init(64, 0, 8192, 1));
    uint8_t b[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_TRUE(c.Write(b, 8, 0));

    std::atomic<int> waiterResult{-1};
    std::atomic<uint32_t> waited{0};
    std::thread waiter([&] {
        uint8_t out[64];
        uint32_t t0 = GetTick();
        waiterResult = c.Read(out, 64, nullptr, 5000);  // more than is held: waits
        waited = Elapsed(t0);
    });
    SleepMs(50);
    c.Close();
    waiter.join();
    EXPECT_EQ(0, waiterResult.load());
    EXPECT_LT(waited.load(), 2000u);

    uint8_t out[8];
    uint32_t t0 = GetTick();
    EXPECT_FALSE(c.Write(b, 1, 1));
    EXPECT_EQ(0, c.Read(out, 1, nullptr, 5000));
    EXPECT_EQ(0, c.ReadFrame(out, 8, nullptr, 5000));
    EXPECT_LT(Elapsed(t0), 1000u);

    c.Reset();
    EXPECT_EQ(0, c.GetDataSize());
    EXPECT_EQ(0, c.GetFrameCount());
    ASSERT_TRUE(c.Write(b + 2, 3, 1));
    int left = -1;
    ASSERT_EQ(3, c.ReadFrame(out, 8, &left, 100));
    EXPECT_EQ(3, out[0]);
    EXPECT_EQ(0, left);
}

TEST(ConduitFree, DropsContentsAndRefusesWrites) {
    CBufferConduit c;
    ASSERT_TRUE(c.Init(64, 0, 8192, 1));
    uint8_t b[8] = {};
    ASSERT_TRUE(c.Write(b, 8, 1));
    c.Free();
    EXPECT_EQ(0, c.GetDataSize());
    EXPECT_EQ(0, c.GetFrameCount());
    EXPECT_FALSE(c.Write(b, 1, 1));
    EXPECT_EQ(0, c.ReadFrame(b, 8, nullptr, 0));
}

TEST(ConduitFlowControl, SecondWriteWithoutReaderIsRefusedAfterOneSecond) {
    CBufferConduit c;
    ASSERT_TRUE(c.Init(4096, 1, 8192, 1));
    uint8_t b[16] = {};
    uint32_t t0 = GetTick();
    ASSERT_TRUE(c.Write(b, 16, 1));
    EXPECT_LT(Elapsed(t0), 500u);
    t0 = GetTick();
    EXPECT_FALSE(c.Write(b, 16, 1));
    uint32_t waited = Elapsed(t0);
    EXPECT_GE(waited, 950u);
    EXPECT_LT(waited, 3000u);
    EXPECT_EQ(16, c.GetDataSize());  // the refused write left nothing behind
}

TEST(ConduitFlowControl, ReaderReleasesThePacedWriter) {
    CBufferConduit c;
    ASSERT_TRUE(c.Init(8192, 1, 64, 1));
    std::vector<uint8_t> big(2000, 1);
    ASSERT_TRUE(c.Write(big.data(), 2000, 1));
    ASSERT_TRUE(c.Write(big.data(), 100, 1) == false);  // no reader yet: refused after the wait
    // A read that starts with 2000 >= lowWater held and leaves 0 < 1024 signals room.
    std::vector<uint8_t> out(2000);
    ASSERT_EQ(2000, c.ReadFrame(out.data(), 2000, nullptr, 0));
    uint32_t t0 = GetTick();
    EXPECT_TRUE(c.Write(big.data(), 100, 1));
    EXPECT_LT(Elapsed(t0), 500u);
    // Close releases a writer waiting for room, which then fails.
    std::atomic<int> result{-1};
    std::thread w([&] { result = c.Write(big.data(), 10, 1) ? 1 : 0; });
    SleepMs(50);
    c.Close();
    w.join();
    EXPECT_EQ(0, result.load());
    // Reset signals room again.
    c.Reset();
    t0 = GetTick();
    EXPECT_TRUE(c.Write(big.data(), 10, 1));
    EXPECT_LT(Elapsed(t0), 500u);
}

TEST(ConduitThreads, FramesSurviveConcurrentProducerAndConsumer) {
    CBufferConduit c;
    ASSERT_TRUE(c.Init(1000, 0, 8192, 1));
    const int kFrames = 400;
    std::thread producer([&] {
        for (int i = 0; i < kFrames; ++i) {
            int len = 1 + (i * 37) % 300;
            auto f = Pattern(len, static_cast<uint8_t>(i));
            uint32_t t0 = GetTick();
            while (!c.Write(f.data(), len, 1)) {
                if (Elapsed(t0) > 10000) return;
                SleepMs(1);
            }
        }
    });
    int good = 0;
    std::vector<uint8_t> out(512);
    uint32_t t0 = GetTick();
    for (int i = 0; i < kFrames && Elapsed(t0) < 20000;) {
        int n = c.ReadFrame(out.data(), 512, nullptr, 20);
        if (n == 0) continue;
        int len = 1 + (i * 37) % 300;
        auto f = Pattern(len, static_cast<uint8_t>(i));
        ASSERT_EQ(len, n) << "frame " << i;
        ASSERT_TRUE(std::equal(f.begin(), f.end(), out.begin())) << "frame " << i;
        ++good;
        ++i;
    }
    producer.join();
    EXPECT_EQ(kFrames, good);
}
