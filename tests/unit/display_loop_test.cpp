#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "api/ClientHandle.h"
#include "codec/H264Decoder.h"
#include "codec/MjpegDecoder.h"
#include "conduit/CBufferConduit.h"
#include "display/CAVDisplay.h"
#include "platform/Tick.h"
#include "record/Snapshot.h"
#include "support/display_h264_stream.h"
#include "support/snapshot_replay_fixtures.h"

namespace kavro {
namespace {

using Bytes = std::vector<uint8_t>;
using test::Encode;
using test::Stream;

template <typename Pred>
bool WaitFor(Pred pred, uint32_t timeoutMs = 5000) {
    const uint32_t start = GetTick();
    while (!pred()) {
        if (GetTick() - start > timeoutMs) return false;
        SleepMs(2);
    }
    return true;
}

Bytes ReadAll(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

bool FileExists(const std::string& path) { return std::ifstream(path).good(); }

// Largest difference between the 16x16 block means of a decoded JPEG file's luma and `luma`.
int MaxBlockMeanDiff(const Bytes& jpeg, const Bytes& luma, int width, int height) {
    MjpegDecCreateRecord rec = MakeMjpegDecCreateRecord(width, height);
    MjpegDecoder* dec = HiMJPEGDecCreate(&rec);
    if (!dec) return 1000;
    DecodedPicture p;
    int worst = 1000;
    if (HiMJPEGDecFrame(dec, jpeg.data(), uint32_t(jpeg.size()), 0, &p, 0) == kMjpegDecPicture &&
        p.width == width && p.height == height) {
        worst = 0;
        for (int by = 0; by + 16 <= height; by += 16)
            for (int bx = 0; bx + 16 <= width; bx += 16) {
                int a = 0, b = 0;
                for (int y = by; y < by + 16; ++y)
                    for (int x = bx; x < bx + 16; ++x) {
                        a += p.y[y * p.yStride + x];
                        b += luma[size_t(y) * width + x];
                    }
                worst = std::max(worst, std::abs(a - b) / 256);
            }
    }
    HiMJPEGDecDestroy(dec);
    return worst;
}

class DisplayLoop : public ::testing::Test {
protected:
    void Open(bool frameMode, uint8_t payloadType = 96) {
        ASSERT_TRUE(conduit_.Init(8 << 20, 0, 0, frameMode ? 1 : 0));
        client_.videoConduit = &conduit_;
        client_.viewOn = 1;
        client_.videoWnd = 0;
        client_.videoPayloadType = payloadType;
        client_.videoWidth = 176;
        client_.videoHeight = 144;
        client_.streamBitRate = 512;
        display_.Attach(&client_, nullptr);
    }
    void Start() {
        ASSERT_EQ(display_.ResetDecoder(), 1);
        ASSERT_EQ(display_.Start(), 0);
    }
    void WriteUnits(const Stream& s, size_t from, size_t to) {
        for (size_t i = from; i < to && i < s.units.size(); ++i)
            ASSERT_TRUE(conduit_.Write(s.units[i].data(), int(s.units[i].size()), 1));
    }
    void TearDown() override {
        const uint32_t start = GetTick();
        display_.StopAndWait();
        EXPECT_LT(GetTick() - start, 1000u) << "stop took too long";
    }
    // Frames drawn so far, once the count has stayed put for `quietMs`.
    uint32_t SettledFrameCount(uint32_t quietMs = 300) {
        uint32_t n = client_.frameCount;
        for (;;) {
            SleepMs(quietMs);
            const uint32_t m = client_.frameCount;
            if (m == n) return n;
            n = m;
        }
    }

    ClientHandle client_;
    CBufferConduit conduit_;
    CAVDisplay display_;
    fixtures::TempDir dir_;
};

TEST_F(DisplayLoop, LiveH264ShowsEveryPictureAndClampsFps) {
    const Stream s = Encode(176, 144, 10, 5, 24, 0);
    if (s.units.empty()) GTEST_SKIP() << "no H.264 encoder";
    ASSERT_EQ(s.units.size(), 10u);
    Open(true);
    for (int32_t fps : {0, 50}) {
        SCOPED_TRACE(fps);
        client_.fps = fps;
        client_.jitterFrames = 4;
        client_.frameCount = 0;
        Start();
        WriteUnits(s, 0, s.units.size());
        // Each whole frame ends a picture, so the last one shows without waiting for another.
        EXPECT_TRUE(WaitFor([&] { return client_.frameCount >= 10; })) << client_.frameCount;
        EXPECT_EQ(SettledFrameCount(), 10u);
        EXPECT_EQ(client_.fps.load(), 30);
        EXPECT_EQ(client_.jitterFrames.load(), 0);
        EXPECT_EQ(client_.decodedWidth.load(), 176);
        EXPECT_EQ(client_.decodedHeight.load(), 144);
        EXPECT_EQ(client_.firstFrameShown.load(), 1);
        EXPECT_EQ(client_.displayBusy.load(), 0);
        EXPECT_EQ(conduit_.GetFrameCount(), 0);
        display_.StopAndWait();
        conduit_.Reset();
    }
}

TEST_F(DisplayLoop, ViewOffDrainsAndReleasesTheDecoderWhichComesBackWithTheNextKeyPicture) {
    // Key pictures at 0, 4 and 8; each carries its parameter sets.
    const Stream s = Encode(176, 144, 12, 4, 24, 0);
    if (s.units.empty()) GTEST_SKIP() << "no H.264 encoder";
    client_.fps = 25;
    Open(true);
    Start();
    WriteUnits(s, 0, 4);
    ASSERT_TRUE(WaitFor([&] { return client_.frameCount >= 3; }));
    const uint32_t shown = SettledFrameCount();

    client_.viewOn = 0;
    WriteUnits(s, 4, 6);  // key picture 4 and picture 5 are dropped unseen
    ASSERT_TRUE(WaitFor([&] { return conduit_.GetFrameCount() == 0 && conduit_.GetDataSize() == 0; }));
    EXPECT_EQ(SettledFrameCount(), shown);
    EXPECT_EQ(client_.displayBusy.load(), 0);

    // A decoder kept through the gap would go on with 6 and 7; a new one has nothing to go on.
    client_.viewOn = 1;
    WriteUnits(s, 6, 8);
    ASSERT_TRUE(WaitFor([&] { return conduit_.GetFrameCount() == 0 && conduit_.GetDataSize() == 0; }));
    EXPECT_EQ(SettledFrameCount(), shown);

    WriteUnits(s, 8, 12);
    EXPECT_TRUE(WaitFor([&] { return client_.frameCount >= shown + 3; })) << client_.frameCount;
}

TEST_F(DisplayLoop, LargePictureReadInPiecesDecodesAsOneAndFeedsTheSnapshot) {
    const Stream s = Encode(352, 288, 3, 10, 6, 24);
    if (s.units.empty()) GTEST_SKIP() << "no H.264 encoder";
    ASSERT_GT(s.units[0].size(), 2u * 16384) << "key picture must need three reads or more";
    client_.fps = 25;
    Open(true);
    client_.videoWidth = 352;
    client_.videoHeight = 288;
    const std::string path = dir_.Path("shots/first.jpg");
    ASSERT_EQ(display_.RequestSnapshot(path.c_str()), 1);
    Start();
    WriteUnits(s, 0, 3);
    ASSERT_TRUE(WaitFor([&] { return client_.frameCount >= 2; }));
    EXPECT_LE(SettledFrameCount(), 3u);
    EXPECT_EQ(client_.decodedWidth.load(), 352);
    ASSERT_TRUE(WaitFor([&] { return FileExists(path); }));
    const Bytes jpeg = ReadAll(path);
    ASSERT_GT(jpeg.size(), 4u);
    EXPECT_EQ(jpeg[0], 0xFF);
    EXPECT_EQ(jpeg[1], 0xD8);
    // The whole key picture went in: every part of the saved picture matches its source.
    EXPECT_LT(MaxBlockMeanDiff(jpeg, s.luma[0], 352, 288), 8);
}

// Planes of a picture, copied out of a decoder's record.
struct Planes {
    int width = 0, height = 0;
    Bytes y, u, v;
};

Planes CopyPlanes(const DecodedPicture& p) {
    Planes out;
    out.width = p.width;
    out.height = p.height;
    for (int i = 0; i < p.height; ++i)
        out.y.insert(out.y.end(), p.y + i * p.yStride, p.y + i * p.yStride + p.width);
    for (int i = 0; i < p.height / 2; ++i) {
        out.u.insert(out.u.end(), p.u + i * p.uvStride, p.u + i * p.uvStride + p.width / 2);
        out.v.insert(out.v.end(), p.v + i * p.uvStride, p.v + i * p.uvStride + p.width / 2);
    }
    return out;
}

double Psnr(const Bytes& a, const Bytes& b) {
    if (a.size() != b.size() || a.empty()) return 0;
    double se = 0;
    for (size_t i = 0; i < a.size(); ++i) se += (double(a[i]) - b[i]) * (double(a[i]) - b[i]);
    return se == 0 ? 99 : 10 * std::log10(255.0 * 255.0 * double(a.size()) / se);
}

TEST_F(DisplayLoop, SnapshotOfAnH264PictureMatchesTheDecodedPicture) {
    const Stream s = Encode(352, 288, 2, 10, 20, 6);
    if (s.units.empty()) GTEST_SKIP() << "no H.264 encoder";
    // The reference: the first picture as the decoder gives it.
    H264DecCreateRecord rec = MakeH264DecCreateRecord(352, 288, 512);
    H264Decoder* dec = Hi264DecCreate(&rec);
    ASSERT_NE(nullptr, dec);
    DecodedPicture pic;
    Planes reference;
    int32_t r =
        Hi264DecFrame(dec, s.units[0].data(), uint32_t(s.units[0].size()), 0, &pic, kH264DecEndOfPicture);
    while (r != kH264DecNeedInput && reference.y.empty()) {
        if (r == kH264DecPicture) reference = CopyPlanes(pic);
        r = Hi264DecFrame(dec, nullptr, 0, 0, &pic, 0);
    }
    Hi264DecDestroy(dec);
    ASSERT_EQ(352, reference.width);

    client_.fps = 25;
    Open(true);
    const std::string path = dir_.Path("psnr.jpg");
    ASSERT_EQ(display_.RequestSnapshot(path.c_str()), 1);
    Start();
    WriteUnits(s, 0, 2);
    ASSERT_TRUE(WaitFor([&] { return FileExists(path) && client_.frameCount >= 1; }));
    SettledFrameCount();
    const Bytes jpeg = ReadAll(path);
    MjpegDecCreateRecord jrec = MakeMjpegDecCreateRecord(352, 288);
    MjpegDecoder* jdec = HiMJPEGDecCreate(&jrec);
    ASSERT_NE(nullptr, jdec);
    ASSERT_EQ(kMjpegDecPicture, HiMJPEGDecFrame(jdec, jpeg.data(), uint32_t(jpeg.size()), 0, &pic, 0));
    const Planes shot = CopyPlanes(pic);
    HiMJPEGDecDestroy(jdec);
    ASSERT_EQ(352, shot.width);
    ASSERT_EQ(288, shot.height);
    EXPECT_GE(Psnr(reference.y, shot.y), 30.0);
    EXPECT_GE(Psnr(reference.u, shot.u), 30.0);
    EXPECT_GE(Psnr(reference.v, shot.v), 30.0);
}

TEST_F(DisplayLoop, SnapshotRequestsThatCannotBeTakenAreRefused) {
    Open(true);
    EXPECT_EQ(display_.RequestSnapshot(nullptr), 0);
    EXPECT_EQ(display_.RequestSnapshot(""), 0);
    const std::string tooLong = dir_.Path(std::string(300, 'a') + ".jpg");
    EXPECT_EQ(display_.RequestSnapshot(tooLong.c_str()), 0);
    const std::string blocker = dir_.Path("file");
    ASSERT_TRUE(fixtures::WriteFile(blocker, {1}));
    EXPECT_EQ(display_.RequestSnapshot((blocker + "/x.jpg").c_str()), 0);
}

TEST_F(DisplayLoop, RotatedSnapshotIsThePictureTurned) {
    const Stream s = Encode(176, 144, 3, 10, 12, 0);
    if (s.units.empty()) GTEST_SKIP() << "no H.264 encoder";
    client_.fps = 25;
    client_.rotate180 = 1;
    Open(true);
    const std::string path = dir_.Path("turned.jpg");
    ASSERT_EQ(display_.RequestSnapshot(path.c_str()), 1);
    Start();
    WriteUnits(s, 0, 3);
    ASSERT_TRUE(WaitFor([&] { return FileExists(path) && client_.frameCount >= 1; }));
    Bytes turned(s.luma[0].rbegin(), s.luma[0].rend());
    SettledFrameCount();
    EXPECT_LT(MaxBlockMeanDiff(ReadAll(path), turned, 176, 144), 8);
}

// Pictures are predicted from earlier ones: turning a picture must not touch what the decoder keeps.
TEST_F(DisplayLoop, RotationLeavesLaterPicturesIntact) {
    const Stream s = Encode(176, 144, 5, 10, 12, 0);
    if (s.units.empty()) GTEST_SKIP() << "no H.264 encoder";
    client_.fps = 25;
    client_.rotate180 = 1;
    Open(true);
    Start();
    WriteUnits(s, 0, 4);
    ASSERT_TRUE(WaitFor([&] { return client_.frameCount >= 4; }));
    const std::string path = dir_.Path("fifth.jpg");
    ASSERT_EQ(display_.RequestSnapshot(path.c_str()), 1);
    WriteUnits(s, 4, 5);
    ASSERT_TRUE(WaitFor([&] { return FileExists(path) && client_.frameCount >= 5; }));
    SettledFrameCount();
    Bytes turned(s.luma[4].rbegin(), s.luma[4].rend());
    EXPECT_LT(MaxBlockMeanDiff(ReadAll(path), turned, 176, 144), 8);
}

class DisplayReplay : public DisplayLoop {
protected:
    void OpenReplay() {
        Open(false);
        client_.isFile = 1;
        client_.fps = 25;
        client_.pacing.fps = 0;  // as fast as decoding goes
    }
};

TEST_F(DisplayReplay, StepShowsExactlyOnePictureAndPausedSnapshotIsServed) {
    const Stream s = Encode(176, 144, 10, 5, 20, 16);
    if (s.units.empty()) GTEST_SKIP() << "no H.264 encoder";
    OpenReplay();
    client_.replayPause = 2;
    Start();
    const Bytes all = s.All();
    ASSERT_TRUE(conduit_.Write(all.data(), int(all.size()), 0));
    ASSERT_TRUE(WaitFor([&] { return client_.frameCount >= 1; }));
    EXPECT_EQ(SettledFrameCount(), 1u);
    for (uint32_t step = 2; step <= 4; ++step) {
        client_.replayStep = 1;
        ASSERT_TRUE(WaitFor([&] { return client_.frameCount >= step; }));
        EXPECT_EQ(SettledFrameCount(), step);
        EXPECT_EQ(client_.replayStep.load(), 0);
    }

    const std::string path = dir_.Path("paused.jpg");
    ASSERT_EQ(display_.RequestSnapshot(path.c_str()), 1);
    EXPECT_TRUE(WaitFor([&] { return FileExists(path); }, 2000));
    EXPECT_EQ(client_.frameCount.load(), 4u);
    EXPECT_LT(MaxBlockMeanDiff(ReadAll(path), s.luma[3], 176, 144), 8);

    client_.replayPause = 0;
    EXPECT_TRUE(WaitFor([&] { return client_.frameCount >= 9; })) << client_.frameCount;
}

TEST_F(DisplayReplay, PauseHoldsUntilPlayAgain) {
    const Stream s = Encode(176, 144, 6, 5, 20, 16);
    if (s.units.empty()) GTEST_SKIP() << "no H.264 encoder";
    OpenReplay();
    client_.replayPause = 1;
    Start();
    const Bytes all = s.All();
    ASSERT_TRUE(conduit_.Write(all.data(), int(all.size()), 0));
    ASSERT_TRUE(WaitFor([&] { return client_.frameCount >= 1; }));
    EXPECT_EQ(SettledFrameCount(), 1u);
    client_.replayPause = 0;
    EXPECT_TRUE(WaitFor([&] { return client_.frameCount >= 5; })) << client_.frameCount;
}

TEST_F(DisplayReplay, StopIsPromptWhilePausedOrInALongPacingWait) {
    const Stream s = Encode(176, 144, 4, 5, 20, 16);
    if (s.units.empty()) GTEST_SKIP() << "no H.264 encoder";
    const struct {
        int32_t pause, fps, speed;
    } cases[] = {{1, 0, 0}, {2, 0, 0}, {0, 1, -4}};  // the last waits 16 s per picture
    OpenReplay();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pause * 100 + c.speed);
        client_.replayPause = c.pause;
        client_.replaySpeed = c.speed;
        client_.pacing.fps = c.fps;
        client_.frameCount = 0;
        Start();
        const Bytes all = s.All();
        ASSERT_TRUE(conduit_.Write(all.data(), int(all.size()), 0));
        ASSERT_TRUE(WaitFor([&] { return client_.frameCount >= 1; }));
        SleepMs(50);
        const uint32_t start = GetTick();
        display_.StopAndWait();
        EXPECT_LT(GetTick() - start, 1000u);
        EXPECT_FALSE(display_.IsRunning());
        conduit_.Reset();
    }
}

TEST_F(DisplayLoop, JpegFramesAreShownSnapshotsAreTheFrameAndBadFramesAreDropped) {
    // A JPEG frame made with the snapshot encoder from a synthetic picture.
    Bytes y(176 * 144), u(88 * 72, 90), v(88 * 72, 160);
    for (size_t i = 0; i < y.size(); ++i) y[i] = uint8_t(i % 176 + 40);
    DecodedPicture pic;
    pic.y = y.data();
    pic.u = u.data();
    pic.v = v.data();
    pic.width = 176;
    pic.height = 144;
    pic.yStride = 176;
    pic.uvStride = 88;
    const std::string source = dir_.Path("source.jpg");
    ASSERT_TRUE(TakeSnapshot(source.c_str(), pic));
    const Bytes frame = ReadAll(source);
    ASSERT_GT(frame.size(), 100u);

    client_.fps = 50;
    Open(true, 26);
    Start();
    const Bytes garbage(frame.begin(), frame.begin() + 100);  // headers only
    const std::string path = dir_.Path("jpeg/shot.jpg");
    ASSERT_EQ(display_.RequestSnapshot(path.c_str()), 1);
    ASSERT_TRUE(conduit_.Write(garbage.data(), int(garbage.size()), 1));
    ASSERT_TRUE(WaitFor([&] { return conduit_.GetFrameCount() == 0; }));
    SleepMs(100);
    EXPECT_FALSE(FileExists(path)) << "a frame that does not decode served the snapshot";

    for (int i = 0; i < 3; ++i) ASSERT_TRUE(conduit_.Write(frame.data(), int(frame.size()), 1));
    ASSERT_TRUE(WaitFor([&] { return FileExists(path) && conduit_.GetFrameCount() == 0; }));
    SleepMs(100);
    EXPECT_EQ(ReadAll(path), frame);
    EXPECT_EQ(client_.pacing.fps.load(), 50);  // taken as it is
    EXPECT_EQ(client_.fps.load(), 50);
    EXPECT_EQ(client_.frameCount.load(), 0u);  // JPEG pictures are not counted
    EXPECT_EQ(client_.displayBusy.load(), 0);
}

}  // namespace
}  // namespace kavro
