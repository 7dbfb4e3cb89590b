// Replay handles opened through the public interface, with the real display (no window): the
// pictures shown (frameCount) show the pace, pause, single step and speed.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "api/ClientHandle.h"
#include "api/HandleTable.h"
#include "kavro.h"
#include "platform/Tick.h"
#include "support/replay_notifications.h"
#include "support/snapshot_replay_fixtures.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/opt.h>
}

namespace kavro {
namespace {

using fixtures::RecordChunk;

constexpr int kFps = 25;
constexpr int kSeconds = 20;

// An H.264 recording as the record writer lays it out: one chunk per NAL unit (with its start
// code), typed by the NAL type, a key picture every second starting with its SPS.
std::vector<RecordChunk> EncodeRecording() {
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    if (!codec) return {};
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    ctx->width = 160;
    ctx->height = 112;
    ctx->time_base = AVRational{1, kFps};
    ctx->pix_fmt = AV_PIX_FMT_YUV420P;
    ctx->gop_size = kFps;
    ctx->max_b_frames = 0;
    ctx->thread_count = 1;
    av_opt_set(ctx->priv_data, "preset", "ultrafast", 0);
    av_opt_set(ctx->priv_data, "tune", "zerolatency", 0);
    std::vector<RecordChunk> chunks;
    if (avcodec_open2(ctx, codec, nullptr) < 0) {
        avcodec_free_context(&ctx);
        return {};
    }
    AVFrame* frame = av_frame_alloc();
    AVPacket* pkt = av_packet_alloc();
    auto drain = [&] {
        while (avcodec_receive_packet(ctx, pkt) == 0) {
            const auto ts = static_cast<uint32_t>(50000 + pkt->pts * 1000 / kFps);
            // Split at the start codes.
            std::vector<size_t> starts;
            for (int i = 0; i + 3 < pkt->size; ++i)
                if (pkt->data[i] == 0 && pkt->data[i + 1] == 0 && pkt->data[i + 2] == 1)
                    starts.push_back(i > 0 && pkt->data[i - 1] == 0 ? i - 1 : i);
            starts.push_back(static_cast<size_t>(pkt->size));
            for (size_t k = 0; k + 1 < starts.size(); ++k) {
                const uint8_t* p = pkt->data + starts[k];
                const size_t n = starts[k + 1] - starts[k];
                const uint8_t nalType = (p[2] == 1 ? p[3] : p[4]) & 0x1F;
                chunks.push_back({0, nalType, ts, std::vector<uint8_t>(p, p + n), nalType == 7});
            }
            av_packet_unref(pkt);
        }
    };
    for (int f = 0; f < kFps * kSeconds; ++f) {
        frame->format = ctx->pix_fmt;
        frame->width = ctx->width;
        frame->height = ctx->height;
        av_frame_get_buffer(frame, 0);
        for (int y = 0; y < ctx->height; ++y)
            for (int x = 0; x < ctx->width; ++x)
                frame->data[0][y * frame->linesize[0] + x] = static_cast<uint8_t>(x + y + 3 * f);
        for (int y = 0; y < ctx->height / 2; ++y)
            for (int x = 0; x < ctx->width / 2; ++x) {
                frame->data[1][y * frame->linesize[1] + x] = 128;
                frame->data[2][y * frame->linesize[2] + x] = static_cast<uint8_t>(100 + f % 50);
            }
        frame->pts = f;
        avcodec_send_frame(ctx, frame);
        drain();
        av_frame_unref(frame);
    }
    avcodec_send_frame(ctx, nullptr);
    drain();
    av_packet_free(&pkt);
    av_frame_free(&frame);
    avcodec_free_context(&ctx);
    return chunks;
}

uint32_t FrameCount(uint32_t h) {
    HandleRef c = AcquireClient(h);
    return c ? c->frameCount.load() : 0;
}

// Waits until at least `n` pictures were shown; the count reached (bounded wait).
uint32_t WaitFrames(uint32_t h, uint32_t n, uint32_t timeoutMs = 5000) {
    const uint32_t start = GetTick();
    while (FrameCount(h) < n && GetTick() - start < timeoutMs) SleepMs(5);
    return FrameCount(h);
}

// Pictures shown during `ms`.
uint32_t ShownIn(uint32_t h, uint32_t ms) {
    const uint32_t a = FrameCount(h);
    SleepMs(ms);
    return FrameCount(h) - a;
}

class ReplayOpenTest : public ::testing::Test {
protected:
    void SetUp() override {
        replaytest::Install();
        static const std::vector<RecordChunk> chunks = EncodeRecording();
        if (chunks.empty()) GTEST_SKIP() << "no H.264 encoder to make a recording with";
        path_ = dir_.Path("camera.rec");
        ASSERT_TRUE(fixtures::WriteFile(path_, fixtures::MakeRecordFile(96, kFps, chunks, true).bytes));
    }
    void TearDown() override { replaytest::Uninstall(); }

    fixtures::TempDir dir_;
    std::string path_;
};

TEST_F(ReplayOpenTest, RefusesWhatCannotBeReplayed) {
    std::string longPath = dir_.dir();
    while (longPath.size() + 11 < 256) longPath += "/.";
    longPath += "/camera.rec";  // an existing file, named by 256 .. 259 characters
    ASSERT_GE(longPath.size(), 256u);
    ASSERT_LE(longPath.size(), 259u);
    ASSERT_TRUE(fixtures::WriteFile(dir_.Path("junk.rec"), std::vector<uint8_t>(100, 'x')));
    const std::string cases[] = {dir_.Path("missing.rec"), dir_.Path("junk.rec"), longPath,
                                 longPath + "/././."};
    for (const auto& p : cases) EXPECT_EQ(0u, KAVRO_OpenFile(p.c_str(), 0, 0)) << p;
    EXPECT_EQ(0u, KAVRO_OpenFile(nullptr, 0, 0));
}

TEST_F(ReplayOpenTest, PauseStepAndSpeedChangeThePace) {
    const uint32_t h = KAVRO_OpenFile(path_.c_str(), 0, 0);
    ASSERT_NE(0u, h);
    EXPECT_EQ(static_cast<uint32_t>(kSeconds - 1), KAVRO_ReplayTotalTime(h));
    ASSERT_GE(WaitFrames(h, 5), 5u);

    const uint32_t normal = ShownIn(h, 1000);
    EXPECT_GE(normal, 10u);
    EXPECT_LE(normal, 40u);

    ASSERT_EQ(1, KAVRO_ReplayPause(h));
    SleepMs(300);
    EXPECT_EQ(0u, ShownIn(h, 600)) << "paused";

    for (int i = 0; i < 3; ++i) {
        const uint32_t before = FrameCount(h);
        ASSERT_EQ(1, KAVRO_ReplayStepByStep(h));
        EXPECT_EQ(before + 1, WaitFrames(h, before + 1, 2000));
        EXPECT_EQ(0u, ShownIn(h, 300)) << "one picture per step";
    }

    ASSERT_EQ(1, KAVRO_ReplayContinue(h));
    ASSERT_EQ(1, KAVRO_SpeedFast(h));
    ASSERT_EQ(1, KAVRO_SpeedFast(h));  // four times as fast
    SleepMs(100);
    const uint32_t fast = ShownIn(h, 1000);
    // Rates are compared loosely: a loaded machine decodes more slowly than four times real time.
    EXPECT_GT(fast, normal + normal / 4);

    ASSERT_EQ(1, KAVRO_SpeedNormal(h));
    ASSERT_EQ(1, KAVRO_SpeedSlow(h));
    ASSERT_EQ(1, KAVRO_SpeedSlow(h));  // a quarter
    SleepMs(100);
    const uint32_t slow = ShownIn(h, 1000);
    EXPECT_LT(slow + slow / 4, normal);
    EXPECT_LE(KAVRO_ReplayCurTime(h), KAVRO_ReplayTotalTime(h));
    EXPECT_EQ(1, KAVRO_CloseFile(h));
}

TEST_F(ReplayOpenTest, EndIsReportedAndAgainAfterASeekBack) {
    const uint32_t h = KAVRO_OpenFile(path_.c_str(), 0, 0);
    ASSERT_NE(0u, h);
    ASSERT_GE(WaitFrames(h, 1), 1u);
    // Lands on the key picture of second 19: one second before the end.
    ASSERT_EQ(1, KAVRO_ReplaySeek(h, 18));
    ASSERT_TRUE(replaytest::WaitForEnds(h, 1, 8000));
    EXPECT_EQ(static_cast<uint32_t>(kSeconds - 1), KAVRO_ReplayCurTime(h));
    const uint32_t shown = FrameCount(h);
    ASSERT_EQ(1, KAVRO_ReplaySeek(h, 17));
    ASSERT_TRUE(replaytest::WaitForEnds(h, 2, 8000));
    EXPECT_GT(FrameCount(h), shown) << "pictures after the seek back were shown";
    EXPECT_FALSE(replaytest::SawBadEndArgument());
    EXPECT_EQ(1, KAVRO_CloseFile(h));
}

TEST_F(ReplayOpenTest, StartedPausedShowsOnePictureAndHolds) {
    const uint32_t h = KAVRO_OpenFile(path_.c_str(), 0, 1);
    ASSERT_NE(0u, h);
    EXPECT_EQ(1u, WaitFrames(h, 1));
    EXPECT_EQ(0u, ShownIn(h, 500));
    ASSERT_EQ(1, KAVRO_ReplayContinue(h));
    EXPECT_GT(WaitFrames(h, 5), 4u);
    EXPECT_EQ(1, KAVRO_ClientStop(h));
}

TEST_F(ReplayOpenTest, RecordingAndTalkAreRefusedForAReplay) {
    const uint32_t h = KAVRO_OpenFile(path_.c_str(), 0, 1);
    ASSERT_NE(0u, h);
    const std::string copy = path_ + ".copy";
    EXPECT_EQ(0, KAVRO_ClientStartRecord(h, copy.c_str(), 0));
    EXPECT_EQ(0, KAVRO_ClientStartAlarmRecord(h, copy.c_str(), 0));
    EXPECT_EQ(0, KAVRO_ClientStartTalk(h));
    struct stat st {};
    EXPECT_NE(0, stat(copy.c_str(), &st)) << "no file is made";
    EXPECT_EQ(1, KAVRO_ClientStop(h));
}

}  // namespace
}  // namespace kavro
