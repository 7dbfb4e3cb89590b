#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <vector>

#include "api/ClientHandle.h"
#include "audio/CAVSound.h"
#include "conduit/CBufferConduit.h"
#include "platform/Tick.h"

using namespace kavro;

namespace {

// A playback device that keeps every written block until the test completes it.
class FakeOutput : public PcmOutput {
public:
    struct Shared {
        std::mutex m;
        PcmCallback cb;
        bool failOpen = false;
        int failPrepareAt = -1;  // index of the Prepare call that fails
        int failWriteAt = -1;    // index of the Write call that fails
        int prepares = 0, writes = 0, resets = 0, closes = 0, unprepares = 0;
        bool open = false;
        std::vector<PcmBlock*> queued;
        std::vector<std::vector<uint8_t>> written;  // bytes of each write
    };
    explicit FakeOutput(std::shared_ptr<Shared> s) : s_(std::move(s)) {}
    bool Open(PcmCallback cb) override {
        std::lock_guard<std::mutex> g(s_->m);
        if (s_->failOpen) return false;
        s_->cb = cb;
        s_->open = true;
        return true;
    }
    bool IsOpen() const override { return s_->open; }
    bool Prepare(PcmBlock* b) override {
        std::lock_guard<std::mutex> g(s_->m);
        if (s_->prepares++ == s_->failPrepareAt) return false;
        b->flags |= kPcmBlockPrepared;
        return true;
    }
    bool Unprepare(PcmBlock* b) override {
        std::lock_guard<std::mutex> g(s_->m);
        if (b->flags & kPcmBlockInQueue) return false;
        ++s_->unprepares;
        b->flags &= ~kPcmBlockPrepared;
        return true;
    }
    bool Write(PcmBlock* b) override {
        std::lock_guard<std::mutex> g(s_->m);
        if (s_->writes++ == s_->failWriteAt) return false;
        if (!(b->flags & kPcmBlockPrepared)) return false;
        b->flags |= kPcmBlockInQueue;
        s_->queued.push_back(b);
        s_->written.emplace_back(b->data, b->data + b->bufferLength);
        return true;
    }
    bool Reset() override {
        std::vector<PcmBlock*> q;
        PcmCallback cb;
        {
            std::lock_guard<std::mutex> g(s_->m);
            ++s_->resets;
            q.swap(s_->queued);
            cb = s_->cb;
        }
        for (PcmBlock* b : q) {
            b->flags &= ~kPcmBlockInQueue;
            cb(kPcmOutDone, b);
        }
        return true;
    }
    bool Close() override {
        PcmCallback cb;
        {
            std::lock_guard<std::mutex> g(s_->m);
            if (!s_->queued.empty()) return false;
            ++s_->closes;
            s_->open = false;
            cb = s_->cb;
        }
        cb(kPcmOutClose, nullptr);
        return true;
    }

private:
    std::shared_ptr<Shared> s_;
};

// Hands the oldest queued block back, as the device does when it has played it.
void CompleteOldest(FakeOutput::Shared& s) {
    PcmBlock* b;
    PcmCallback cb;
    {
        std::lock_guard<std::mutex> g(s.m);
        ASSERT_FALSE(s.queued.empty());
        b = s.queued.front();
        s.queued.erase(s.queued.begin());
        cb = s.cb;
    }
    b->flags &= ~kPcmBlockInQueue;
    cb(kPcmOutDone, b);
}

template <typename F>
bool WaitFor(F cond, uint32_t ms = 3000) {
    uint32_t start = GetTick();
    while (!cond()) {
        if (GetTick() - start > ms) return false;
        SleepMs(2);
    }
    return true;
}

class PlayerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(conduit.Init(64000, 0, 0, 0));
        shared = std::make_shared<FakeOutput::Shared>();
    }
    void Make() {
        player = std::make_unique<CAVSound>(std::make_unique<FakeOutput>(shared));
        player->client = &client;
        player->audioConduit = &conduit;
        ASSERT_TRUE(player->PrepareBuffers());
    }
    void Feed(int blocks, uint8_t first = 1) {
        for (int i = 0; i < blocks; ++i) {
            std::vector<uint8_t> b(CAVSound::kBlockPlayBytes, static_cast<uint8_t>(first + i));
            ASSERT_TRUE(conduit.Write(b.data(), static_cast<int>(b.size()), 1));
        }
    }
    int Writes() {
        std::lock_guard<std::mutex> g(shared->m);
        return static_cast<int>(shared->written.size());
    }
    int Queued() {
        std::lock_guard<std::mutex> g(shared->m);
        return static_cast<int>(shared->queued.size());
    }

    ClientHandle client;
    CBufferConduit conduit;
    std::shared_ptr<FakeOutput::Shared> shared;
    std::unique_ptr<CAVSound> player;
};

TEST_F(PlayerTest, PrimesSixteenBlocksRefillsOnCompletionAndResetsAndClosesOnStop) {
    Make();
    Feed(18);
    ASSERT_EQ(player->Start(), 0);
    ASSERT_TRUE(WaitFor([&] { return Queued() == 16; }));
    SleepMs(100);
    EXPECT_EQ(Writes(), 16) << "no more than 16 blocks may be at the device";
    EXPECT_EQ(conduit.GetDataSize(), 2 * 800);

    CompleteOldest(*shared);
    ASSERT_TRUE(WaitFor([&] { return Writes() == 17; }));
    {
        std::lock_guard<std::mutex> g(shared->m);
        // Every block carries 800 bytes of the conduit, in order.
        for (size_t i = 0; i < shared->written.size(); ++i) {
            ASSERT_EQ(shared->written[i].size(), 800u);
            EXPECT_EQ(shared->written[i][0], static_cast<uint8_t>(1 + i));
            EXPECT_EQ(shared->written[i][799], static_cast<uint8_t>(1 + i));
        }
        // The refill went into the block that came back.
        EXPECT_EQ(shared->queued.back()->data[0], 17);
    }
    EXPECT_EQ(client.audioPlayerClosed.load(), 0);

    player->Stop();
    EXPECT_FALSE(player->IsRunning());
    EXPECT_EQ(shared->resets, 1);
    EXPECT_EQ(shared->closes, 1);
    EXPECT_EQ(shared->unprepares, 16);
    EXPECT_TRUE(shared->queued.empty());
    EXPECT_EQ(client.audioPlayerClosed.load(), 1);
    EXPECT_EQ(conduit.GetDataSize(), 0) << "the conduit is emptied when the player ends";
    player->ReleaseBuffers();
    player->ReleaseBuffers();
}

TEST_F(PlayerTest, IncompleteBlockWaitsForMoreData) {
    Make();
    ASSERT_EQ(player->Start(), 0);
    std::vector<uint8_t> bytes(800);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7);
    ASSERT_TRUE(conduit.Write(bytes.data(), 799, 1));
    SleepMs(250);
    EXPECT_EQ(Writes(), 0) << "799 bytes must not be played";
    ASSERT_TRUE(conduit.Write(bytes.data() + 799, 1, 1));
    ASSERT_TRUE(WaitFor([&] { return Writes() == 1; }));
    {
        std::lock_guard<std::mutex> g(shared->m);
        EXPECT_EQ(shared->written[0], bytes);
    }
    player->Stop();
    EXPECT_EQ(shared->closes, 1);
}

TEST_F(PlayerTest, StopWhileWaitingForDataEndsPromptlyWithoutWritingTheWaitingBlock) {
    Make();
    Feed(3);
    ASSERT_EQ(player->Start(), 0);
    ASSERT_TRUE(WaitFor([&] { return Writes() == 3; }));
    SleepMs(100);
    uint32_t start = GetTick();
    player->Stop();
    EXPECT_LT(GetTick() - start, 1000u);
    EXPECT_EQ(Writes(), 3);
    EXPECT_EQ(shared->resets, 1);
    EXPECT_EQ(shared->closes, 1);
    EXPECT_EQ(client.audioPlayerClosed.load(), 1);
}

TEST_F(PlayerTest, StopBeforeAnyDataClosesTheDevice) {
    Make();
    ASSERT_EQ(player->Start(), 0);
    SleepMs(80);
    player->Stop();
    EXPECT_EQ(Writes(), 0);
    EXPECT_EQ(shared->closes, 1);
    EXPECT_FALSE(shared->open);
    EXPECT_EQ(client.audioPlayerClosed.load(), 1);
}

TEST_F(PlayerTest, DeviceThatCannotOpenEndsThePlayerAndEmptiesTheConduit) {
    shared->failOpen = true;
    Make();
    Feed(2);
    ASSERT_EQ(player->Start(), 0);
    ASSERT_TRUE(WaitFor([&] { return !player->IsRunning(); }));
    EXPECT_EQ(client.audioPlayerClosed.load(), 1);
    EXPECT_EQ(conduit.GetDataSize(), 0);
    player->Stop();  // after the thread ended by itself
    EXPECT_EQ(Writes(), 0);
}

TEST_F(PlayerTest, FailedPrepareEndsStartUpAndFailedWriteDropsOnlyThatBlock) {
    shared->failPrepareAt = 4;  // the fifth block cannot be prepared
    shared->failWriteAt = 1;    // the second write is refused
    Make();
    Feed(8);
    ASSERT_EQ(player->Start(), 0);
    ASSERT_TRUE(WaitFor([&] { return Writes() == 3; }));
    SleepMs(100);
    EXPECT_EQ(Queued(), 3) << "blocks 1, 3, 4 at the device; block 2 refused; start-up ended at 5";
    EXPECT_EQ(conduit.GetDataSize(), 4 * 800);
    // The blocks written still circulate.
    CompleteOldest(*shared);
    ASSERT_TRUE(WaitFor([&] { return Writes() == 4; }));
    EXPECT_EQ(Queued(), 3);
    player->Stop();
    EXPECT_EQ(shared->closes, 1);
    EXPECT_TRUE(shared->queued.empty());
}

// A conduit that always answers at once, as a closed one does.
class ClosedConduit : public CIConduit {
public:
    std::atomic<int> reads{0};
    bool Init(int, int, int, int) override { return true; }
    void Free() override {}
    void Reset() override {}
    void SetFlowControl(int) override {}
    int Read(void*, int, int*, uint32_t) override {
        ++reads;
        return 0;
    }
    bool Write(const void*, int, int) override { return false; }
    int GetDataSize() override { return 0; }
    int GetFrameCount() override { return 0; }
    int ReadFrame(void*, int, int*, uint32_t) override { return 0; }
    void Close() override {}
    bool WaitFrames(int, uint32_t) override { return false; }
};

TEST_F(PlayerTest, ClosedConduitDoesNotMakeThePlayerSpin) {
    ClosedConduit closed;
    Make();
    player->audioConduit = &closed;
    ASSERT_EQ(player->Start(), 0);
    SleepMs(600);
    player->Stop();
    // At most about one read per 60 ms (plus the one quick retry each time).
    EXPECT_LT(closed.reads.load(), 40);
    EXPECT_GT(closed.reads.load(), 0);
}

}  // namespace
