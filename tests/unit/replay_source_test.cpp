// The replay thread against generated files, with the test in the display's place: it reads the
// conduits itself, so exactly what the thread fed can be compared.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "api/ClientHandle.h"
#include "api/HandleTable.h"
#include "api/Library.h"
#include "codec/VoiceEngine.h"
#include "conduit/CBufferConduit.h"
#include "kavro.h"
#include "platform/Tick.h"
#include "record/CAVSource_File.h"
#include "support/replay_notifications.h"
#include "support/snapshot_replay_fixtures.h"

namespace kavro {
namespace {

using fixtures::AviChunk;
using fixtures::MakeAviFile;
using fixtures::MakeRecordFile;
using fixtures::RecordChunk;

constexpr uint32_t kWaitMs = 5000;

class SourceWithoutDisplay : public CAVSource_File {
public:
    using CAVSource_File::CAVSource_File;

protected:
    int StartDisplay() override { return 1; }
};

class ReplaySourceTest : public ::testing::Test {
protected:
    void SetUp() override { replaytest::Install(); }
    void TearDown() override {
        Close();
        replaytest::Uninstall();
    }

    std::string Write(const std::string& name, const std::vector<uint8_t>& bytes) {
        const std::string path = dir_.Path(name);
        EXPECT_TRUE(fixtures::WriteFile(path, bytes));
        return path;
    }

    // Opens a file as a replay handle would, with conduits the test reads.
    int Open(const std::string& path, int videoCapacity = 1 << 22, int videoFlowControl = 0,
             int audioCapacity = 1 << 20) {
        client_ = std::make_unique<ClientHandle>();
        EXPECT_TRUE(InitFileClient(client_.get(), path.c_str(), 0));
        client_->audioOn = 0;
        handle_ = RegisterClient(client_.get());
        EXPECT_NE(0u, handle_);
        // A conduit is initialised once: every Open gets new ones.
        videoConduit_ = std::make_unique<CBufferConduit>();
        audioConduit_ = std::make_unique<CBufferConduit>();
        EXPECT_TRUE(videoConduit_->Init(videoCapacity, videoFlowControl, 1024, 1));
        EXPECT_TRUE(audioConduit_->Init(audioCapacity, 0, 0, 0));
        source_ = std::make_unique<SourceWithoutDisplay>(path.c_str());
        source_->client = client_.get();
        source_->videoConduit = videoConduit_.get();
        source_->audioConduit = audioConduit_.get();
        return source_->Init();
    }

    void Start() { ASSERT_EQ(0, source_->Start()); }

    void Close() {
        if (source_) {
            source_->Stop();
            source_->Release();
            source_.reset();
        }
        if (handle_) UnregisterClient(handle_);
        handle_ = 0;
    }

    static std::vector<uint8_t> Drain(CBufferConduit& c) {
        std::vector<uint8_t> out(static_cast<size_t>(c.GetDataSize()));
        if (!out.empty()) {
            EXPECT_EQ(static_cast<int>(out.size()),
                      c.Read(out.data(), static_cast<int>(out.size()), nullptr, 0));
        }
        return out;
    }

    // Video bytes of chunks [from, end) as the thread should feed them.
    static std::vector<uint8_t> VideoBytes(const std::vector<RecordChunk>& chunks, size_t from = 0,
                                           size_t end = SIZE_MAX) {
        std::vector<uint8_t> out;
        for (size_t i = from; i < chunks.size() && i < end; ++i) {
            if (chunks[i].kind == 0) out.insert(out.end(), chunks[i].data.begin(), chunks[i].data.end());
        }
        return out;
    }

    bool WaitSeekDone(uint32_t timeoutMs = kWaitMs) {
        const uint32_t start = GetTick();
        while (client_->replaySeekPending.load() != 0) {
            if (GetTick() - start > timeoutMs) return false;
            SleepMs(5);
        }
        return true;
    }

    fixtures::TempDir dir_;
    std::unique_ptr<ClientHandle> client_;
    uint32_t handle_ = 0;
    std::unique_ptr<CBufferConduit> videoConduit_ = std::make_unique<CBufferConduit>();
    std::unique_ptr<CBufferConduit> audioConduit_ = std::make_unique<CBufferConduit>();
    std::unique_ptr<SourceWithoutDisplay> source_;
};

size_t KeyChunk(const std::vector<RecordChunk>& chunks, int second) {
    int seen = 0;
    for (size_t i = 0; i < chunks.size(); ++i)
        if (chunks[i].kind == 0 && chunks[i].type == 7 && seen++ == second) return i;
    return chunks.size();
}

TEST_F(ReplaySourceTest, MeasuresFiles) {
    const auto h264 = fixtures::H264Chunks(5, 5, 70000);  // key pictures 70 s .. 74 s
    std::vector<RecordChunk> jpegUdp;
    for (uint32_t i = 0; i < 20; ++i)
        jpegUdp.push_back({0, 10, 1000 + 250 * i, {0xFF, 0xD8, 1, 0xFF, 0xD9}, i % 4 == 0});
    std::vector<AviChunk> avi = {{"00dc", {1, 2, 3, 4, 'a'}}};
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        int kind;
        int32_t total, start, fps, payload;
    } cases[] = {
        {"h264_trailer", MakeRecordFile(96, 25, h264, true).bytes, 2, 4, 70000, 25, 96},
        {"h264_scanned", MakeRecordFile(96, 25, h264, false).bytes, 2, 4, 70000, 25, 96},
        {"fps_out_of_range", MakeRecordFile(96, 31, h264, true).bytes, 2, 4, 70000, 30, 96},
        {"jpeg_trailer", MakeRecordFile(26, 4, jpegUdp, true).bytes, 3, 4, 1000, 4, 26},
        // Type 10 pictures are no key pictures to a scan: no index, no time, no seeking.
        {"jpeg_udp_scanned", MakeRecordFile(26, 4, jpegUdp, false).bytes, 3, 0, 0, 4, 26},
        {"avi", MakeAviFile(25, 250, avi).bytes, 1, 10, 0, 25, 0},
        {"avi_rate_0", MakeAviFile(0, 250, avi).bytes, 1, 0, 0, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(1, Open(Write(c.name, c.bytes)));
        EXPECT_EQ(c.kind, source_->FileKind());
        EXPECT_EQ(c.total, client_->replayTotalTime.load());
        EXPECT_EQ(static_cast<uint32_t>(c.total), KAVRO_ReplayTotalTime(handle_));
        EXPECT_EQ(c.start, client_->replayStartTime.load());
        EXPECT_EQ(0, client_->replayCurTime.load());
        EXPECT_EQ(c.fps, client_->fps.load());
        EXPECT_EQ(c.payload, client_->videoPayloadType.load());
        Close();
    }
}

TEST_F(ReplaySourceTest, RefusesUnusableFiles) {
    const auto h264 = fixtures::H264Chunks(2, 2, 0);
    auto wrongMagic = MakeRecordFile(96, 25, h264, true).bytes;
    wrongMagic[7] = 'V';  // "TessaraVine" is the AVI signature, not the record magic
    auto noKeyPictures =
        MakeRecordFile(96, 25, {{0, 1, 5, {1, 2, 3}, false}}, true).bytes;  // trailer with N = 0
    auto shortHeader = MakeRecordFile(96, 25, {}, false).bytes;
    shortHeader.resize(30);
    const std::string good = Write("good.rec", MakeRecordFile(96, 25, h264, true).bytes);
    // Names a file that exists, through a path longer than the path field holds.
    std::string longPath = dir_.dir();
    while (longPath.size() < 300) longPath += "/.";
    longPath += "/good.rec";

    struct Case {
        const char* name;
        std::string path;
    } cases[] = {
        {"missing", dir_.Path("missing.rec")},
        {"wrong_magic", Write("magic.rec", wrongMagic)},
        {"empty_index", Write("empty.rec", noKeyPictures)},
        {"short_header", Write("short.rec", shortHeader)},
        {"avi_without_signature", Write("plain.avi", MakeAviFile(25, 25, {{"00dc", {1}}}, false).bytes)},
        {"path_too_long", longPath},
    };
    ASSERT_EQ(1, Open(good));
    Close();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        client_ = std::make_unique<ClientHandle>();
        InitFileClient(client_.get(), c.path.c_str(), 0);
        CBufferConduit v, a;
        v.Init(1 << 16, 0, 0, 1);
        a.Init(1024, 0, 0, 0);
        SourceWithoutDisplay s(c.path.c_str());
        s.client = client_.get();
        s.videoConduit = &v;
        s.audioConduit = &a;
        EXPECT_EQ(0, s.Init());
        s.Release();
    }
}

TEST_F(ReplaySourceTest, FeedsVideoInFileOrderAndReportsTheEnd) {
    auto h264 = fixtures::H264Chunks(3, 4, 5000);
    // Kind bits 2 and 3 are never written; such chunks are passed over.
    h264.insert(h264.begin() + 3, RecordChunk{2, 1, 5100, {0xEE, 0xEE}, false});
    h264.insert(h264.begin() + 6, RecordChunk{3, 1, 5200, {0xEE}, false});
    std::vector<RecordChunk> jpeg;
    for (uint32_t i = 0; i < 6; ++i)
        jpeg.push_back({0, 7, 100 + 500 * i, {0xFF, 0xD8, static_cast<uint8_t>(i), 0xFF, 0xD9}, i % 2 == 0});

    struct Case {
        const char* name;
        uint8_t payload;
        std::vector<RecordChunk> chunks;
        bool trailer;
        int32_t lastTime;
    } cases[] = {
        {"h264_trailer", 96, h264, true, 2},
        {"h264_no_trailer", 96, h264, false, 2},
        {"jpeg_trailer", 26, jpeg, true, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(1, Open(Write(c.name, MakeRecordFile(c.payload, 25, c.chunks, c.trailer).bytes)));
        Start();
        ASSERT_TRUE(replaytest::WaitForEnds(handle_, 1, kWaitMs));
        // The trailer is no chunk: the video bytes are exactly those of the chunks.
        EXPECT_EQ(VideoBytes(c.chunks), Drain((*videoConduit_)));
        EXPECT_EQ(c.lastTime, client_->replayCurTime.load());
        EXPECT_EQ(0, audioConduit_->GetDataSize());  // audio off
        // Idle at the end: no further notification without a seek.
        SleepMs(300);
        EXPECT_EQ(1, replaytest::EndCount(handle_));
        Close();
    }
    EXPECT_FALSE(replaytest::SawBadEndArgument());
}

TEST_F(ReplaySourceTest, JpegPicturesAreWholeFrames) {
    std::vector<RecordChunk> jpeg;
    for (uint32_t i = 0; i < 5; ++i)
        jpeg.push_back({0, 7, 40 * i, std::vector<uint8_t>(3 + i, 0xA0 + i), i == 0});
    ASSERT_EQ(1, Open(Write("j.rec", MakeRecordFile(26, 25, jpeg, true).bytes)));
    Start();
    ASSERT_TRUE(replaytest::WaitForEnds(handle_, 1, kWaitMs));
    ASSERT_EQ(5, videoConduit_->GetFrameCount());
    for (uint32_t i = 0; i < 5; ++i) {
        std::vector<uint8_t> frame(64);
        const int n = videoConduit_->ReadFrame(frame.data(), 64, nullptr, 0);
        frame.resize(static_cast<size_t>(n));
        EXPECT_EQ(jpeg[i].data, frame);
    }
}

TEST_F(ReplaySourceTest, SeekLandsOnTheNextKeyPictureAndTheEndIsReportedAgain) {
    const auto chunks = fixtures::H264Chunks(5, 4, 20000);  // key pictures at 0 .. 4 s
    ASSERT_EQ(1, Open(Write("s.rec", MakeRecordFile(96, 25, chunks, true).bytes)));
    Start();
    ASSERT_TRUE(replaytest::WaitForEnds(handle_, 1, kWaitMs));
    // Left unread: the seek must empty the conduit.

    struct Case {
        uint32_t target;
        int keySecond;  // -1: nothing moves
    } cases[] = {
        {2, 3},                              // the key picture stamped exactly at the target does not qualify
        {0, 1},    {1, 2}, {3, 4}, {4, -1},  // beyond the last key picture
        {100, -1},                           // clamped to the total time, still nothing after it
    };
    int ends = 1;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target);
        ASSERT_EQ(1, KAVRO_ReplaySeek(handle_, c.target));
        ASSERT_TRUE(WaitSeekDone());
        if (c.keySecond < 0) {
            SleepMs(300);
            EXPECT_EQ(ends, replaytest::EndCount(handle_));
            EXPECT_EQ(0, videoConduit_->GetDataSize());
            EXPECT_EQ(c.target < 4 ? c.target : 4u, KAVRO_ReplayCurTime(handle_));
            continue;
        }
        ASSERT_TRUE(replaytest::WaitForEnds(handle_, ++ends, kWaitMs));
        EXPECT_EQ(VideoBytes(chunks, KeyChunk(chunks, c.keySecond)), Drain((*videoConduit_)));
        EXPECT_EQ(4u, KAVRO_ReplayCurTime(handle_));
    }
}

TEST_F(ReplaySourceTest, CutShortRecordingReplaysByRebuiltIndex) {
    const auto chunks = fixtures::H264Chunks(4, 4, 1000);
    const auto file = MakeRecordFile(96, 25, chunks, true);
    const size_t lastVideo = chunks.size() - 2;  // last second: ..., picture, audio
    struct Case {
        const char* name;
        uint64_t cut;
        size_t wholeChunks;  // chunks that survive whole
    } cases[] = {
        {"inside_audio", file.chunkOffsets.back() + 12 + 5, chunks.size() - 1},
        {"inside_video", file.chunkOffsets[lastVideo] + 12 + 3, lastVideo},
        {"inside_header", file.chunkOffsets[lastVideo] + 5, lastVideo},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto bytes = file.bytes;
        bytes.resize(c.cut);
        ASSERT_EQ(1, Open(Write(c.name, bytes)));
        EXPECT_EQ(3, client_->replayTotalTime.load());  // key pictures at 1 .. 4 s survive
        Start();
        ASSERT_TRUE(replaytest::WaitForEnds(handle_, 1, kWaitMs));
        EXPECT_EQ(VideoBytes(chunks, 0, c.wholeChunks), Drain((*videoConduit_)));
        ASSERT_EQ(1, KAVRO_ReplaySeek(handle_, 1));
        ASSERT_TRUE(replaytest::WaitForEnds(handle_, 2, kWaitMs));
        EXPECT_EQ(VideoBytes(chunks, KeyChunk(chunks, 2), c.wholeChunks), Drain((*videoConduit_)));
        Close();
    }
}

TEST_F(ReplaySourceTest, AudioIsDecodedOnlyAtNormalSpeedWithSoundOn) {
    // A-law frames of 160 and 480 samples (the largest that fits the output area).
    std::vector<RecordChunk> chunks = {{0, 7, 0, {0, 0, 1, 0x67}, true}};
    size_t samples = 0;
    for (uint16_t n : {160, 480, 160}) {
        VoiceState enc;
        ASSERT_EQ(0, HI_VOICE_EncReset(&enc, kVoiceModeAlaw));
        std::vector<int16_t> pcm(n, 1000);
        std::vector<uint8_t> frame(4 + n);
        ASSERT_EQ(0, HI_VOICE_EncodeFrame(&enc, pcm.data(), n, frame.data(), frame.size()));
        chunks.push_back({1, kVoiceModeAlaw, 10u * static_cast<uint32_t>(chunks.size()), frame, false});
        chunks.push_back({0, 1, 10u * static_cast<uint32_t>(chunks.size()), {1, 2, 3}, false});
        samples += n;
    }
    chunks.push_back({1, kVoiceModeAlaw, 900, {0xD5, 0xD5, 0xD5}, false});  // not a voice frame: dropped
    const std::string path = Write("a.rec", MakeRecordFile(96, 25, chunks, true).bytes);

    struct Case {
        int32_t audioOn, speed, playerClosed;
        size_t bytes;
    } cases[] = {
        {1, 0, 0, samples * 2}, {0, 0, 0, 0}, {1, 1, 0, 0}, {1, -2, 0, 0}, {1, 0, 1, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.audioOn << "/" << c.speed << "/" << c.playerClosed);
        ASSERT_EQ(1, Open(path));
        client_->audioOn = c.audioOn;
        client_->replaySpeed = c.speed;
        client_->audioPlayerClosed = c.playerClosed;
        Start();
        ASSERT_TRUE(replaytest::WaitForEnds(handle_, 1, kWaitMs));
        EXPECT_EQ(c.bytes, static_cast<size_t>(audioConduit_->GetDataSize()));
        EXPECT_EQ(VideoBytes(chunks), Drain((*videoConduit_)));
        Close();
    }
}

TEST_F(ReplaySourceTest, AviFeedsEntriesInIndexOrderAndSeeksToMarkedPictures) {
    // Three entries per picture: video (marked 'a' every 10th picture), audio, and one of a kind
    // the reader does not know.
    std::vector<AviChunk> entries;
    std::vector<std::vector<uint8_t>> pictures;
    std::vector<uint8_t> allAudio;
    for (uint8_t f = 0; f < 60; ++f) {
        std::vector<uint8_t> pic = {f, f, 0, 0, static_cast<uint8_t>(f % 10 == 0 ? 'a' : 'p'), f};
        pictures.push_back(pic);
        entries.push_back({"00dc", pic});
        std::vector<uint8_t> pcm(2 * (3 + f % 4), static_cast<uint8_t>(0x80 | f));
        allAudio.insert(allAudio.end(), pcm.begin(), pcm.end());
        entries.push_back({"01wb", pcm});
        entries.push_back({"ixxx", {9, 9}});
    }
    auto concat = [&](size_t from) {
        std::vector<uint8_t> out;
        for (size_t i = from; i < pictures.size(); ++i)
            out.insert(out.end(), pictures[i].begin(), pictures[i].end());
        return out;
    };
    ASSERT_EQ(1, Open(Write("v.avi", MakeAviFile(25, 60, entries).bytes)));
    client_->audioOn = 1;
    Start();
    ASSERT_TRUE(replaytest::WaitForEnds(handle_, 1, kWaitMs));
    EXPECT_EQ(concat(0), Drain((*videoConduit_)));
    EXPECT_EQ(allAudio, Drain((*audioConduit_)));

    client_->audioOn = 0;
    struct Case {
        uint32_t target;
        size_t picture;
    } cases[] = {{1, 20}, {0, 0}, {2, 50}};  // picture 25 x target, back to the latest marked one
    int ends = 1;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target);
        ASSERT_EQ(1, KAVRO_ReplaySeek(handle_, c.target));
        ASSERT_TRUE(WaitSeekDone());
        ASSERT_TRUE(replaytest::WaitForEnds(handle_, ++ends, kWaitMs));
        EXPECT_EQ(concat(c.picture), Drain((*videoConduit_)));
        EXPECT_EQ(0, audioConduit_->GetDataSize());
    }
}

TEST_F(ReplaySourceTest, StoredSoundLargerThanTheAudioConduitArrivesWhole) {
    // The audio conduit of a replay holds 1024 bytes; stored PCM chunks are often larger.
    std::vector<uint8_t> pcm(3000);
    for (size_t i = 0; i < pcm.size(); ++i) pcm[i] = static_cast<uint8_t>(i * 7);
    ASSERT_EQ(1,
              Open(Write("pcm.avi", MakeAviFile(25, 1, {{"00dc", {1, 2, 3, 4, 'a'}}, {"01wb", pcm}}).bytes),
                   1 << 20, 0, 1024));
    client_->audioOn = 1;
    std::atomic<bool> done{false};
    std::vector<uint8_t> heard;
    std::thread player([&] {
        uint8_t b[2];
        while (!done)
            if (audioConduit_->Read(b, 2, nullptr, 20) == 2) heard.insert(heard.end(), b, b + 2);
    });
    Start();
    const bool ended = replaytest::WaitForEnds(handle_, 1, kWaitMs);
    SleepMs(100);
    done = true;
    player.join();
    ASSERT_TRUE(ended);
    EXPECT_EQ(pcm, heard);
}

TEST_F(ReplaySourceTest, StopEndsAWriterWaitingForRoom) {
    // Nobody reads: the second picture never fits, and the paced writer keeps retrying.
    const auto chunks = fixtures::H264Chunks(3, 25, 0);
    ASSERT_EQ(1, Open(Write("full.rec", MakeRecordFile(96, 25, chunks, true).bytes), 16, 1));
    Start();
    SleepMs(200);
    EXPECT_EQ(0, replaytest::EndCount(handle_));
    const auto t0 = std::chrono::steady_clock::now();
    Close();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
}

}  // namespace
}  // namespace kavro
