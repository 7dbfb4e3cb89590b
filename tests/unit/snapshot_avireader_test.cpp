#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "record/AviReader.h"
#include "support/snapshot_replay_fixtures.h"

using namespace kavro;
using namespace kavro::fixtures;

namespace {

// `frames` pictures of three entries each (video, two audio); pictures listed in `keys`
// carry 'a' as the fifth byte of their video data.
std::vector<AviChunk> Frames(uint32_t frames, const std::vector<uint32_t>& keys) {
    std::vector<AviChunk> out;
    for (uint32_t f = 0; f < frames; ++f) {
        const bool key = std::find(keys.begin(), keys.end(), f) != keys.end();
        out.push_back({"00dc",
                       {0, 0, 0, 1, static_cast<uint8_t>(key ? 'a' : 'A'), static_cast<uint8_t>(f),
                        static_cast<uint8_t>(f >> 8)}});
        out.push_back({"01wb", std::vector<uint8_t>(6, static_cast<uint8_t>(f))});
        out.push_back({"01wb", std::vector<uint8_t>(4, static_cast<uint8_t>(f + 1))});
    }
    return out;
}

class Avi : public ::testing::Test {
protected:
    TempDir tmp;
    std::string Write(const std::vector<uint8_t>& bytes) {
        const std::string p = tmp.Path("clip.avi");
        EXPECT_TRUE(WriteFile(p, bytes));
        return p;
    }
};

}  // namespace

TEST_F(Avi, ReadsHeaderAndWalksEntriesInOrder) {
    std::vector<AviChunk> chunks = {{"00dc", {1, 2, 3, 4, 5}},
                                    {"01wb", {6, 7}},
                                    {"ix00", {8, 8, 8}},  // neither video nor audio
                                    {"01wb", {9}},
                                    {"00dc", {}}};
    const auto f = MakeAviFile(25, 100, chunks);
    AviReader r;
    ASSERT_TRUE(r.Open(Write(f.bytes).c_str()));
    EXPECT_EQ(25u, r.Rate());
    EXPECT_EQ(100u, r.FrameCount());
    EXPECT_EQ(4u, r.TotalTimeSec());
    EXPECT_EQ(f.indexStart, r.IndexStart());

    const struct {
        AviReader::Entry kind;
        std::vector<uint8_t> data;
    } expected[] = {{AviReader::Entry::kVideo, {1, 2, 3, 4, 5}},
                    {AviReader::Entry::kAudio, {6, 7}},
                    {AviReader::Entry::kSkipped, {}},
                    {AviReader::Entry::kAudio, {}},  // audio not wanted: no data read
                    {AviReader::Entry::kVideo, {}}};
    for (size_t i = 0; i < chunks.size(); ++i) {
        EXPECT_EQ(f.indexStart + 16 * i, r.Position());
        const auto e = r.ReadEntry(/*wantAudio=*/i != 3);
        EXPECT_EQ(expected[i].kind, e) << i;
        EXPECT_EQ(expected[i].data, std::vector<uint8_t>(r.Data(), r.Data() + r.DataSize())) << i;
    }
    EXPECT_EQ(AviReader::Entry::kEnd, r.ReadEntry(true));
    EXPECT_EQ(AviReader::Entry::kEnd, r.ReadEntry(true));
}

TEST_F(Avi, TotalTimeAndCurrentTime) {
    const struct {
        uint32_t rate, frames, total;
    } cases[] = {{25, 250, 10}, {25, 249, 9}, {0, 250, 0}, {30, 0, 0}, {1, 7, 7}};
    for (const auto& c : cases) {
        AviReader r;
        ASSERT_TRUE(r.Open(Write(MakeAviFile(c.rate, c.frames, Frames(2, {})).bytes).c_str()));
        EXPECT_EQ(c.total, r.TotalTimeSec()) << c.rate << " " << c.frames;
    }
    const auto f = MakeAviFile(25, 250, Frames(60, {}));
    AviReader r;
    ASSERT_TRUE(r.Open(Write(f.bytes).c_str()));
    for (int i = 0; i < 75; ++i) r.ReadEntry(false);  // 25 pictures of three entries
    EXPECT_EQ(1u, r.CurTimeSec());
    r.ReadEntry(false);
    EXPECT_EQ(1u, r.CurTimeSec());
    r.SetPosition(f.indexStart + 1199);
    EXPECT_EQ(0u, r.CurTimeSec());
    r.SetPosition(f.indexStart + 2400);
    EXPECT_EQ(2u, r.CurTimeSec());
}

TEST_F(Avi, RefusesFilesWithoutTheSignature) {
    auto noSig = MakeAviFile(25, 10, Frames(2, {}), false).bytes;
    auto notRiff = MakeAviFile(25, 10, Frames(2, {})).bytes;
    memcpy(notRiff.data(), "RIFX", 4);
    const auto whole = MakeAviFile(25, 10, {}).bytes;
    const std::vector<uint8_t> tooShort(whole.begin(), whole.begin() + 340);  // signature cut
    for (const auto& bytes : {noSig, notRiff, tooShort}) {
        AviReader r;
        EXPECT_FALSE(r.Open(Write(bytes).c_str()));
        EXPECT_FALSE(r.IsOpen());
    }
    AviReader r;
    EXPECT_FALSE(r.Open(tmp.Path("missing.avi").c_str()));
    EXPECT_FALSE(r.Open(nullptr));
}

TEST_F(Avi, SeekGoesToTheLatestMarkedPictureAtOrBeforeTheTarget) {
    // Marked pictures 0, 30 and 80 (seconds 0, 1.2 and 3.2 at 25 per second).
    const auto f = MakeAviFile(25, 100, Frames(100, {0, 30, 80}));
    AviReader r;
    ASSERT_TRUE(r.Open(Write(f.bytes).c_str()));
    const struct {
        uint32_t target, frame;
    } cases[] = {{0, 0}, {1, 0}, {2, 30}, {3, 30}, {4, 80}, {1000, 80}};
    for (const auto& c : cases) {
        r.SetPosition(f.indexStart + 16 * 7);
        ASSERT_TRUE(r.SeekToTime(c.target)) << c.target;
        EXPECT_EQ(f.indexStart + 48 * (c.frame + 1), r.Position()) << c.target;
        ASSERT_EQ(7u, r.DataSize());
        EXPECT_EQ('a', r.Data()[4]);
        EXPECT_EQ(c.frame, r.Data()[5] | r.Data()[6] << 8u) << c.target;
    }

    const auto unmarked = MakeAviFile(25, 100, Frames(40, {}));
    AviReader u;
    ASSERT_TRUE(u.Open(Write(unmarked.bytes).c_str()));
    u.SetPosition(unmarked.indexStart + 32);
    EXPECT_FALSE(u.SeekToTime(1));
    EXPECT_EQ(unmarked.indexStart + 32, u.Position()) << "no marked picture: nothing moves";
}

// Lengths and offsets read from the index are never trusted to stay inside the file or buffer.
TEST_F(Avi, DamagedEntriesAreSkippedWithoutReadingOutOfBounds) {
    auto f = MakeAviFile(25, 10, Frames(3, {0}));
    auto setEntry = [&](size_t i, size_t field, uint32_t v) {
        for (int k = 0; k < 4; ++k)
            f.bytes[f.indexStart + 16 * i + field + k] = static_cast<uint8_t>(v >> (8 * k));
    };
    setEntry(0, 12, 0xFFFFFFF0u);                                             // length far over the buffer
    setEntry(1, 8, 0x7FFFFFF0u);                                              // offset beyond the file
    setEntry(3, 12, static_cast<uint32_t>(AviReader::kChunkBufferSize) + 1);  // one over the buffer
    setEntry(6, 12, 1000);  // runs past the end of the file: what is there is returned
    setEntry(6, 8, static_cast<uint32_t>(f.bytes.size() - 20));
    AviReader r;
    ASSERT_TRUE(r.Open(Write(f.bytes).c_str()));
    std::vector<AviReader::Entry> kinds;
    for (int i = 0; i < 20; ++i) {
        const auto e = r.ReadEntry(true);
        if (e == AviReader::Entry::kEnd) break;
        ASSERT_LE(r.DataSize(), AviReader::kChunkBufferSize);
        kinds.push_back(e);
    }
    ASSERT_EQ(9u, kinds.size());
    EXPECT_EQ(AviReader::Entry::kSkipped, kinds[0]);
    EXPECT_EQ(AviReader::Entry::kSkipped, kinds[1]);
    EXPECT_EQ(AviReader::Entry::kSkipped, kinds[3]);
    EXPECT_EQ(AviReader::Entry::kAudio, kinds[2]);
    EXPECT_EQ(AviReader::Entry::kVideo, kinds[6]);

    // Seek probes read offsets from the index too.
    setEntry(0, 8, 0xFFFFFFFFu);
    AviReader s;
    ASSERT_TRUE(s.Open(Write(f.bytes).c_str()));
    EXPECT_FALSE(s.SeekToTime(5));
}

TEST_F(Avi, UnreachableIndexGivesNoEntries) {
    auto f = MakeAviFile(25, 10, Frames(2, {}));
    f.bytes[418] = 0xF0;  // movi size now points past the end of the file
    f.bytes[419] = 0xFF;
    f.bytes[420] = 0xFF;
    f.bytes[421] = 0x7F;
    AviReader r;
    ASSERT_TRUE(r.Open(Write(f.bytes).c_str()));
    EXPECT_EQ(AviReader::Entry::kEnd, r.ReadEntry(true));
    EXPECT_FALSE(r.SeekToTime(0));
}
