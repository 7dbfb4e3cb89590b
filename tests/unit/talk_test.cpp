#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "audio/CTalk2VS.h"
#include "audio/TalkCapture.h"
#include "audio/TalkPlayback.h"

using namespace kavro;

TEST(TalkReply, HandshakeReplies) {
    struct Case {
        std::string text;
        bool accepted, twoWay;
        size_t replyLength;
    } cases[] = {
        {"CMD:TALK MCTP/1.0 200\n@1@1@\n", true, true, 0},
        {"CMD:TALK MCTP/1.0 200\n@0@1@\n", true, false, 0},
        {"CMD:TALK MCTP/1.0 200\n@1@0@\n", false, false, 0},
        {"CMD:TALK MCTP/1.0 200\n@1@2@\n", false, false, 0},
        {"CMD:TALK MCTP/1.0 200\n", false, false, 0},
        {"CMD:TALK MCTP/1.0 200\n@1@1@", false, false, 0},  // second line not ended
        {"CMD:PTZ MCTP/1.0 200\n@1@1@\n", false, false, 0},
        {"CMD:TALK MCTP/1.0 200\n@x@1@\n", false, false, 0},
        {"CMD:TALK MCTP/1.0 200\n@1@\n", false, false, 0},
        {"", false, false, 0},
        // What follows the second line feed is the camera's first sound, not a third line.
        {"CMD:TALK MCTP/1.0 200\n@1@1@\nEND\n", true, true, 28},
        {std::string("CMD:TALK MCTP/1.0 200\n@1@1@\n\x00\x01\x50\x00\x11\x22", 34), true, true, 28},
    };
    for (const Case& c : cases) {
        CTalk2VS::Reply r = CTalk2VS::ParseReply(c.text.data(), c.text.size());
        EXPECT_EQ(r.accepted, c.accepted) << c.text;
        if (!c.accepted) continue;
        EXPECT_EQ(r.twoWay, c.twoWay) << c.text;
        EXPECT_EQ(r.replyLength, c.replyLength ? c.replyLength : c.text.size()) << c.text;
    }
}

namespace {

// Keeps written blocks until the test hands them back.
class HoldingOutput : public PcmOutput {
public:
    std::mutex m;
    PcmCallback cb;
    std::vector<PcmBlock*> queued;
    std::vector<uint32_t> lengths;
    bool open = false;
    bool Open(PcmCallback c) override {
        cb = c;
        open = true;
        return true;
    }
    bool IsOpen() const override { return open; }
    bool Prepare(PcmBlock* b) override {
        b->flags |= kPcmBlockPrepared;
        return true;
    }
    bool Unprepare(PcmBlock* b) override {
        b->flags &= ~kPcmBlockPrepared;
        return true;
    }
    bool Write(PcmBlock* b) override {
        std::lock_guard<std::mutex> g(m);
        if (b->bufferLength > 640) return false;
        queued.push_back(b);
        lengths.push_back(b->bufferLength);
        return true;
    }
    bool Reset() override {
        std::vector<PcmBlock*> q;
        {
            std::lock_guard<std::mutex> g(m);
            q.swap(queued);
        }
        for (PcmBlock* b : q) cb(kPcmOutDone, b);
        return true;
    }
    bool Close() override {
        open = false;
        return true;
    }
};

// Fills queued capture blocks on the test's command.
class ManualInput : public PcmInput {
public:
    PcmCallback cb;
    std::vector<PcmBlock*> queued;
    bool Open(PcmCallback c) override {
        cb = c;
        return true;
    }
    bool IsOpen() const override { return true; }
    bool Prepare(PcmBlock*) override { return true; }
    bool Unprepare(PcmBlock*) override { return true; }
    bool AddBuffer(PcmBlock* b) override {
        queued.push_back(b);
        return true;
    }
    bool Start() override { return true; }
    bool Reset() override {
        std::vector<PcmBlock*> q;
        q.swap(queued);
        for (PcmBlock* b : q) {
            b->bytesRecorded = 0;
            cb(kPcmInData, b);
        }
        return true;
    }
    bool Close() override { return queued.empty(); }
    void Capture(uint8_t fill) {
        PcmBlock* b = queued.front();
        queued.erase(queued.begin());
        std::memset(b->data, fill, b->bufferLength);
        b->bytesRecorded = b->bufferLength;
        cb(kPcmInData, b);
    }
};

}  // namespace

TEST(TalkPlayback, LongSoundIsPlayedInBlockSizedPiecesAndNeverPastABlock) {
    auto dev = std::make_unique<HoldingOutput>();
    HoldingOutput* d = dev.get();
    TalkPlayback playback(std::move(dev));
    ASSERT_TRUE(playback.OpenPlayback());
    std::vector<int16_t> samples(480, 1234);  // 960 bytes: the largest a decode can give
    EXPECT_TRUE(playback.PlayBlock(samples.data(), 960));
    EXPECT_EQ(d->lengths, (std::vector<uint32_t>{640, 320}));
    EXPECT_EQ(playback.FreeBlocks(), 14);
    EXPECT_FALSE(playback.PlayBlock(samples.data(), 0));

    // With one free block left only the first piece goes out; the rest is dropped.
    for (int i = 0; i < 13; ++i) ASSERT_TRUE(playback.PlayBlock(samples.data(), 640));
    ASSERT_EQ(playback.FreeBlocks(), 1);
    EXPECT_FALSE(playback.PlayBlock(samples.data(), 960));
    EXPECT_EQ(d->lengths.back(), 640u);
    EXPECT_EQ(playback.FreeBlocks(), 0);
    EXPECT_FALSE(playback.PlayBlock(samples.data(), 2)) << "no free block: dropped";

    // Closing gives every block back; reopening must not list any block twice.
    playback.ClosePlayback();
    ASSERT_TRUE(playback.OpenPlayback());
    EXPECT_EQ(playback.FreeBlocks(), 16);
    playback.ClosePlayback();
}

TEST(TalkCapture, SenderFallingBehindLosesTheNewestWaitingBlocksOnly) {
    auto dev = std::make_unique<ManualInput>();
    ManualInput* d = dev.get();
    TalkCapture capture(std::move(dev));
    ASSERT_TRUE(capture.OpenCapture());
    EXPECT_EQ(capture.QueuedBlocks(), 16);
    for (int i = 0; i < 20; ++i) d->Capture(static_cast<uint8_t>(i));
    EXPECT_EQ(capture.QueuedBlocks(), 16) << "every block goes back to the device";
    uint8_t out[640];
    std::vector<int> got;
    while (capture.TakeCaptured(out)) {
        EXPECT_EQ(out[0], out[639]);
        got.push_back(out[0]);
    }
    std::vector<int> want;
    for (int i = 0; i < 15; ++i) want.push_back(i);
    want.push_back(19);
    EXPECT_EQ(got, want);
    capture.CloseCapture();
    EXPECT_FALSE(capture.TakeCaptured(out)) << "blocks returned by the reset are not sound";
    // Reopened: the slots start empty again.
    ASSERT_TRUE(capture.OpenCapture());
    d->Capture(42);
    ASSERT_TRUE(capture.TakeCaptured(out));
    EXPECT_EQ(out[0], 42);
    capture.CloseCapture();
}
