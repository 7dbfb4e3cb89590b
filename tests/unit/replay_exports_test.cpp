#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "api/ClientHandle.h"
#include "api/HandleTable.h"
#include "kavro.h"

namespace kavro {
namespace {

class ReplayExportsTest : public ::testing::Test {
protected:
    void SetUp() override {
        client_ = std::make_unique<ClientHandle>();
        handle_ = RegisterClient(client_.get());
        ASSERT_NE(0u, handle_);
    }
    void TearDown() override {
        if (handle_) UnregisterClient(handle_);
    }
    std::unique_ptr<ClientHandle> client_;
    uint32_t handle_ = 0;
};

TEST(ReplayExportsNoHandle, FailWithoutTouchingAnything) {
    const std::pair<const char*, std::function<uint32_t(uint32_t)>> calls[] = {
        {"pause", [](uint32_t h) { return static_cast<uint32_t>(KAVRO_ReplayPause(h)); }},
        {"continue", [](uint32_t h) { return static_cast<uint32_t>(KAVRO_ReplayContinue(h)); }},
        {"step", [](uint32_t h) { return static_cast<uint32_t>(KAVRO_ReplayStepByStep(h)); }},
        {"fast", [](uint32_t h) { return static_cast<uint32_t>(KAVRO_SpeedFast(h)); }},
        {"normal", [](uint32_t h) { return static_cast<uint32_t>(KAVRO_SpeedNormal(h)); }},
        {"slow", [](uint32_t h) { return static_cast<uint32_t>(KAVRO_SpeedSlow(h)); }},
        {"total", [](uint32_t h) { return KAVRO_ReplayTotalTime(h); }},
        {"current", [](uint32_t h) { return KAVRO_ReplayCurTime(h); }},
        {"seek", [](uint32_t h) { return static_cast<uint32_t>(KAVRO_ReplaySeek(h, 1)); }},
    };
    // A closed handle is refused like 0.
    auto client = std::make_unique<ClientHandle>();
    const uint32_t closed = RegisterClient(client.get());
    ASSERT_NE(0u, closed);
    ASSERT_EQ(client.get(), UnregisterClient(closed));
    for (const auto& c : calls) {
        SCOPED_TRACE(c.first);
        EXPECT_EQ(0u, c.second(0));
        EXPECT_EQ(0u, c.second(closed));
    }
}

TEST_F(ReplayExportsTest, SpeedMovesOneStepAtATimeWithinFourEachWay) {
    const int fast[] = {1, 1, 1, 1, 0};
    for (int expected : fast) EXPECT_EQ(expected, KAVRO_SpeedFast(handle_));
    EXPECT_EQ(4, client_->replaySpeed.load());
    EXPECT_EQ(1, KAVRO_SpeedNormal(handle_));
    EXPECT_EQ(0, client_->replaySpeed.load());
    for (int i = 0; i < 4; ++i) EXPECT_EQ(1, KAVRO_SpeedSlow(handle_));
    EXPECT_EQ(0, KAVRO_SpeedSlow(handle_));
    EXPECT_EQ(-4, client_->replaySpeed.load());
    EXPECT_EQ(1, KAVRO_SpeedFast(handle_));
    EXPECT_EQ(-3, client_->replaySpeed.load());
}

TEST_F(ReplayExportsTest, PauseContinueAndStepSetTheDisplayFields) {
    EXPECT_EQ(1, KAVRO_ReplayPause(handle_));
    EXPECT_EQ(1, client_->replayPause.load());
    EXPECT_EQ(1, KAVRO_ReplayStepByStep(handle_));
    EXPECT_EQ(2, client_->replayPause.load());
    EXPECT_EQ(1, client_->replayStep.load());
    EXPECT_EQ(1, KAVRO_ReplayContinue(handle_));
    EXPECT_EQ(0, client_->replayPause.load());
}

TEST_F(ReplayExportsTest, SeekClampsAndIsRefusedBeforeTheTotalIsKnown) {
    client_->replayCurTime = 3;
    EXPECT_EQ(0, KAVRO_ReplaySeek(handle_, 2));
    EXPECT_EQ(0, client_->replaySeekPending.load());
    EXPECT_EQ(3, client_->replayCurTime.load());

    client_->replayTotalTime = 10;
    struct Case {
        uint32_t position;
        int32_t paused;
        int32_t target;
        int32_t seekPaused;
    } cases[] = {
        {4, 0, 4, 0}, {25, 0, 10, 0}, {0xFFFFFFFFu, 0, 10, 0}, {7, 1, 7, 1}, {7, 2, 7, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.position);
        client_->replaySeekPending = 0;
        client_->replaySeekPaused = 0;
        client_->replayPause = c.paused;
        EXPECT_EQ(1, KAVRO_ReplaySeek(handle_, c.position));
        EXPECT_EQ(c.target, client_->replaySeekTarget.load());
        EXPECT_EQ(c.target, client_->replayCurTime.load());
        EXPECT_EQ(1, client_->replaySeekPending.load());
        EXPECT_EQ(c.seekPaused, client_->replaySeekPaused.load());
    }
}

TEST_F(ReplayExportsTest, CurrentTimeNeverExceedsTheTotal) {
    struct Case {
        int32_t cur, total;
        uint32_t expected;
    } cases[] = {{3, 10, 3}, {12, 10, 10}, {-1, 10, 10}, {5, 0, 0}};
    for (const auto& c : cases) {
        client_->replayCurTime = c.cur;
        client_->replayTotalTime = c.total;
        EXPECT_EQ(c.expected, KAVRO_ReplayCurTime(handle_)) << c.cur << "/" << c.total;
        EXPECT_EQ(static_cast<uint32_t>(c.total), KAVRO_ReplayTotalTime(handle_));
    }
}

}  // namespace
}  // namespace kavro
