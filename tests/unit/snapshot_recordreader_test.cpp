#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <random>

#include "record/RecordFileReader.h"
#include "support/snapshot_replay_fixtures.h"

using namespace kavro;
using namespace kavro::fixtures;

namespace {

struct Seen {
    RecordFileReader::Read status;
    uint64_t offset;
    RecordChunkHeader header;
    std::vector<uint8_t> data;
};

// Reads until the end, at most `limit` results (a reader that never ends fails the test).
std::vector<Seen> ReadAll(RecordFileReader& r, size_t limit = 100000) {
    std::vector<Seen> out;
    for (size_t i = 0; i < limit; ++i) {
        const uint64_t before = r.Position();
        const auto st = r.ReadChunk();
        if (st == RecordFileReader::Read::kEnd) return out;
        EXPECT_LE(r.DataSize(), RecordFileReader::kChunkBufferSize);
        EXPECT_GE(r.ChunkOffset(), before);
        out.push_back(
            {st, r.ChunkOffset(), r.Header(), std::vector<uint8_t>(r.Data(), r.Data() + r.DataSize())});
    }
    ADD_FAILURE() << "reader did not reach the end";
    return out;
}

std::vector<uint64_t> Offsets(const std::vector<RecordIndexEntry>& index) {
    std::vector<uint64_t> v;
    for (const auto& e : index) v.push_back(e.offset);
    return v;
}

std::vector<uint64_t> KeyOffsets(const RecordFile& f, const std::vector<RecordChunk>& chunks) {
    std::vector<uint64_t> v;
    for (size_t i = 0; i < chunks.size(); ++i)
        if (chunks[i].indexed) v.push_back(f.chunkOffsets[i]);
    return v;
}

class RecordReader : public ::testing::Test {
protected:
    TempDir tmp;
    std::string Write(const std::string& name, const std::vector<uint8_t>& bytes) {
        const std::string p = tmp.Path(name);
        EXPECT_TRUE(WriteFile(p, bytes));
        return p;
    }
};

}  // namespace

TEST_F(RecordReader, TrailerFileGivesHeaderIndexTimesAndAllChunks) {
    const auto chunks = H264Chunks(4, 5, 100000);
    const auto f = MakeRecordFile(96, 25, chunks, true);
    RecordFileReader r;
    ASSERT_TRUE(r.Open(Write("a.rec", f.bytes).c_str()));
    EXPECT_EQ(96, r.VideoPayloadType());
    EXPECT_EQ(2, r.FileKind());
    EXPECT_EQ(25, r.Fps());
    EXPECT_EQ(320, r.Width());
    EXPECT_EQ(240, r.Height());
    EXPECT_TRUE(r.IndexFromTrailer());
    EXPECT_EQ(KeyOffsets(f, chunks), Offsets(r.Index()));
    EXPECT_EQ(100000u, r.StartTime());
    EXPECT_EQ(3u, r.TotalTimeSec());
    EXPECT_EQ(f.trailerStart, r.ChunksEnd());

    const auto seen = ReadAll(r);
    ASSERT_EQ(chunks.size(), seen.size());
    for (size_t i = 0; i < chunks.size(); ++i) {
        EXPECT_EQ(RecordFileReader::Read::kChunk, seen[i].status);
        EXPECT_EQ(f.chunkOffsets[i], seen[i].offset);
        EXPECT_EQ(chunks[i].kind, seen[i].header.kind());
        EXPECT_EQ(chunks[i].type, seen[i].header.type());
        EXPECT_EQ(chunks[i].timestamp, seen[i].header.timestamp);
        EXPECT_EQ(chunks[i].data, seen[i].data) << i;
    }
    EXPECT_EQ(f.trailerStart, r.Position());
    EXPECT_EQ(RecordFileReader::Read::kEnd, r.ReadChunk()) << "the trailer is not a chunk";
}

TEST_F(RecordReader, FileHeaderVariants) {
    const struct {
        uint8_t payload, fpsByte;
        int kind, fps;
    } cases[] = {{26, 12, 3, 12}, {96, 0, 2, 30}, {96, 31, 2, 30}, {96, 30, 2, 30}, {0, 1, 2, 1}};
    for (const auto& c : cases) {
        const auto f = MakeRecordFile(c.payload, c.fpsByte, H264Chunks(1, 2, 0), true);
        RecordFileReader r;
        ASSERT_TRUE(r.Open(Write("h.rec", f.bytes).c_str()));
        EXPECT_EQ(c.kind, r.FileKind()) << int(c.payload);
        EXPECT_EQ(c.fps, r.Fps()) << int(c.fpsByte);
    }
}

TEST_F(RecordReader, WithoutTrailerTheScanRebuildsTheSameIndex) {
    const auto chunks = H264Chunks(3, 4, 5000);
    const auto withT = MakeRecordFile(96, 25, chunks, true);
    const auto without = MakeRecordFile(96, 25, chunks, false);
    RecordFileReader a, b;
    ASSERT_TRUE(a.Open(Write("t.rec", withT.bytes).c_str()));
    ASSERT_TRUE(b.Open(Write("n.rec", without.bytes).c_str()));
    EXPECT_FALSE(b.IndexFromTrailer());
    EXPECT_EQ(Offsets(a.Index()), Offsets(b.Index()));
    EXPECT_EQ(a.TotalTimeSec(), b.TotalTimeSec());
    EXPECT_EQ(a.StartTime(), b.StartTime());
    EXPECT_EQ(chunks.size(), ReadAll(b).size());
}

TEST_F(RecordReader, JpegOverUdpHasIndexOnlyThroughTheTrailer) {
    std::vector<RecordChunk> chunks;
    for (uint32_t i = 0; i < 6; ++i) chunks.push_back({0, 10, 1000 * i, {0xFF, 0xD8, uint8_t(i)}, true});
    RecordFileReader t, n;
    ASSERT_TRUE(t.Open(Write("t.rec", MakeRecordFile(26, 10, chunks, true).bytes).c_str()));
    ASSERT_TRUE(n.Open(Write("n.rec", MakeRecordFile(26, 10, chunks, false).bytes).c_str()));
    EXPECT_EQ(5u, t.TotalTimeSec());
    EXPECT_TRUE(n.Index().empty());
    EXPECT_EQ(0u, n.TotalTimeSec());
    EXPECT_FALSE(n.SeekToTime(0));
    EXPECT_EQ(6u, ReadAll(n).size());
}

TEST_F(RecordReader, RefusesUnusableFiles) {
    const auto good = MakeRecordFile(96, 25, H264Chunks(1, 2, 0), true).bytes;
    auto badMagic = good;
    badMagic[10] = 'E';
    const std::vector<uint8_t> shortHeader(good.begin(), good.begin() + 38);
    const std::vector<uint8_t> shortMagic(good.begin(), good.begin() + 5);
    // Stopped before the first key picture: only audio, and a trailer of no entries.
    const auto noKeys = MakeRecordFile(96, 25, {{1, 1, 8, std::vector<uint8_t>(20, 1), false}}, true).bytes;
    const struct {
        const char* name;
        std::vector<uint8_t> bytes;
    } cases[] = {{"wrong magic", badMagic},
                 {"short header", shortHeader},
                 {"short magic", shortMagic},
                 {"trailer with no entries", noKeys}};
    for (const auto& c : cases) {
        RecordFileReader r;
        EXPECT_FALSE(r.Open(Write("bad.rec", c.bytes).c_str())) << c.name;
        EXPECT_FALSE(r.IsOpen()) << c.name;
    }
    RecordFileReader r;
    EXPECT_FALSE(r.Open(tmp.Path("missing.rec").c_str()));
    EXPECT_FALSE(r.Open(nullptr));
    EXPECT_FALSE(r.Open(""));
    const std::string longPath = tmp.Path(std::string(256, 'x'));
    EXPECT_FALSE(r.Open(longPath.c_str()));
}

// Cut at every length: the index keeps every key picture whose chunk is whole, the reader
// yields every whole chunk, at most one truncated one, then ends.
TEST_F(RecordReader, TruncatedFilesLoseAtMostTheLastPartialChunk) {
    const auto chunks = H264Chunks(3, 3, 0);
    const auto f = MakeRecordFile(96, 25, chunks, false);
    for (size_t len = RecordFileReader::kFirstChunk; len <= f.bytes.size(); ++len) {
        const std::vector<uint8_t> cut(f.bytes.begin(), f.bytes.begin() + len);
        RecordFileReader r;
        ASSERT_TRUE(r.Open(Write("cut.rec", cut).c_str())) << len;
        size_t whole = 0;
        std::vector<uint64_t> keys;
        for (size_t i = 0; i < chunks.size(); ++i) {
            if (f.chunkOffsets[i] + 12 + chunks[i].data.size() > len) break;
            ++whole;
            if (chunks[i].indexed) keys.push_back(f.chunkOffsets[i]);
        }
        EXPECT_EQ(keys, Offsets(r.Index())) << len;
        const auto seen = ReadAll(r);
        ASSERT_GE(seen.size(), whole) << len;
        ASSERT_LE(seen.size(), whole + 1) << len;
        for (size_t i = 0; i < whole; ++i) EXPECT_EQ(chunks[i].data, seen[i].data) << len << " chunk " << i;
        if (seen.size() == whole + 1) {
            EXPECT_EQ(RecordFileReader::Read::kTruncated, seen.back().status) << len;
            EXPECT_LT(seen.back().data.size(), chunks[whole].data.size()) << len;
        }
    }
}

TEST_F(RecordReader, SeekLandsOnTheNextKeyPictureAfterTheTarget) {
    // Key pictures at 10.000, 11.000, 12.000, 12.500 and 14.000 s.
    std::vector<RecordChunk> chunks;
    for (uint32_t ts : {10000u, 11000u, 12000u, 12500u, 14000u}) {
        chunks.push_back({0, 7, ts, {1, 2, 3}, true});
        chunks.push_back({0, 1, ts + 40, {4, 5}, false});
    }
    const auto f = MakeRecordFile(96, 25, chunks, true);
    RecordFileReader r;
    ASSERT_TRUE(r.Open(Write("s.rec", f.bytes).c_str()));
    ASSERT_EQ(4u, r.TotalTimeSec());
    const struct {
        uint32_t target;
        int entry;  // index entry expected, -1 none
    } cases[] = {{0, 1}, {1, 2}, {2, 3}, {3, 4}, {4, -1}, {100, -1}};
    for (const auto& c : cases) {
        ASSERT_TRUE(r.SetPosition(f.chunkOffsets[3]));
        const bool moved = r.SeekToTime(c.target);
        EXPECT_EQ(c.entry >= 0, moved) << c.target;
        if (c.entry >= 0) {
            EXPECT_EQ(r.Index()[c.entry].offset, r.Position()) << c.target;
            ASSERT_EQ(RecordFileReader::Read::kChunk, r.ReadChunk());
            EXPECT_EQ(7u, r.Header().type());
            EXPECT_EQ(r.Index()[c.entry].timestamp, r.Header().timestamp);
        } else {
            EXPECT_EQ(f.chunkOffsets[3], r.Position()) << "a failed seek must not move";
        }
    }

    const auto single = MakeRecordFile(96, 25, {{0, 7, 500, {1}, true}, {0, 1, 540, {2}, false}}, true);
    RecordFileReader one;
    ASSERT_TRUE(one.Open(Write("one.rec", single.bytes).c_str()));
    EXPECT_FALSE(one.SeekToTime(0));
    EXPECT_EQ(RecordFileReader::kFirstChunk, one.Position());
}

TEST_F(RecordReader, ChunksOfUndefinedKindsArePassedOver) {
    std::vector<RecordChunk> chunks = {{0, 7, 0, {1, 1}, true},
                                       {2, 7, 10, {9, 9, 9}, false},
                                       {0, 1, 20, {2, 2}, false},
                                       {3, 7, 30, {}, false},
                                       {1, 1, 40, {3}, false}};
    for (bool trailer : {true, false}) {
        const auto f = MakeRecordFile(96, 25, chunks, trailer);
        RecordFileReader r;
        ASSERT_TRUE(r.Open(Write("k.rec", f.bytes).c_str()));
        EXPECT_EQ(1u, r.Index().size()) << "only kind 0 type 7 is a key picture";
        const auto seen = ReadAll(r);
        ASSERT_EQ(3u, seen.size());
        EXPECT_EQ((std::vector<uint8_t>{1, 1}), seen[0].data);
        EXPECT_EQ((std::vector<uint8_t>{2, 2}), seen[1].data);
        EXPECT_EQ((std::vector<uint8_t>{3}), seen[2].data);
    }
}

TEST_F(RecordReader, DamagedTrailersFallBackToScanningAndStopAtTheTrailer) {
    const auto chunks = H264Chunks(2, 3, 0);
    const auto f = MakeRecordFile(96, 25, chunks, true);
    const size_t nAt = f.bytes.size() - 12;
    auto wrongN = f.bytes;
    wrongN[nAt] = static_cast<uint8_t>(wrongN[nAt] + 1);  // BEGININDEX no longer where N says
    auto hugeN = f.bytes;
    memset(&hugeN[nAt], 0xFF, 4);
    auto badOffset = f.bytes;
    badOffset[f.trailerStart + 10 + 4] = 0x7F;  // first entry points far beyond the chunks
    auto unordered = f.bytes;
    std::swap_ranges(&unordered[f.trailerStart + 10], &unordered[f.trailerStart + 18],
                     &unordered[f.trailerStart + 26]);
    const struct {
        const char* name;
        std::vector<uint8_t> bytes;
    } cases[] = {{"N off by one", wrongN},
                 {"N beyond the file", hugeN},
                 {"entry outside the chunks", badOffset},
                 {"entries out of order", unordered}};
    for (const auto& c : cases) {
        RecordFileReader r;
        ASSERT_TRUE(r.Open(Write("d.rec", c.bytes).c_str())) << c.name;
        EXPECT_FALSE(r.IndexFromTrailer()) << c.name;
        EXPECT_EQ(KeyOffsets(f, chunks), Offsets(r.Index())) << c.name;
        const auto seen = ReadAll(r);
        EXPECT_EQ(chunks.size(), seen.size()) << c.name;
        EXPECT_EQ(f.trailerStart, r.ChunksEnd()) << c.name;
        for (const auto& s : seen) EXPECT_EQ(RecordFileReader::Read::kChunk, s.status) << c.name;
    }
}

// Random damage anywhere: the reader ends, never hands out more than its buffer, and every
// byte it hands out is a byte of the file at the place the chunk header said.
TEST_F(RecordReader, DamagedBytesNeverReadOutOfBounds) {
    const auto f = MakeRecordFile(96, 25, H264Chunks(3, 4, 0), true);
    std::mt19937 rng(1234);
    for (int round = 0; round < 300; ++round) {
        auto bytes = f.bytes;
        const int flips = 1 + static_cast<int>(rng() % 6);
        for (int i = 0; i < flips; ++i) {
            const size_t at = 39 + rng() % (bytes.size() - 39);
            bytes[at] = static_cast<uint8_t>(rng());
        }
        if (rng() % 3 == 0) bytes.resize(39 + rng() % (bytes.size() - 39));
        RecordFileReader r;
        if (!r.Open(Write("z.rec", bytes).c_str())) continue;  // e.g. N became 0
        for (const auto& e : r.Index()) ASSERT_LE(e.offset + 12, r.ChunksEnd()) << round;
        const auto seen = ReadAll(r, bytes.size());
        for (const auto& s : seen) {
            ASSERT_LE(s.offset + 12 + s.data.size(), bytes.size()) << round;
            const std::vector<uint8_t> inFile(
                bytes.begin() + static_cast<ptrdiff_t>(s.offset + 12),
                bytes.begin() + static_cast<ptrdiff_t>(s.offset + 12 + s.data.size()));
            ASSERT_EQ(inFile, s.data) << round;
        }
    }
}

// Positions past 4 GiB: a sparse file of 4096 chunks of 1 MiB - 1 before a key picture.
TEST_F(RecordReader, PositionsBeyondFourGiB) {
    const std::string p = tmp.Path("big.rec");
    const auto head = MakeRecordFile(96, 25, {}, false).bytes;
    int fd = open(p.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(static_cast<ssize_t>(head.size()), pwrite(fd, head.data(), head.size(), 0));
    auto header = [](uint32_t type, uint32_t len, uint32_t ts) {
        std::vector<uint8_t> h(12, 0);
        const uint32_t word = type << 2 | len << 12;
        for (int i = 0; i < 4; ++i) h[i] = static_cast<uint8_t>(word >> (8 * i));
        for (int i = 0; i < 4; ++i) h[8 + i] = static_cast<uint8_t>(ts >> (8 * i));
        return h;
    };
    uint64_t pos = 39;
    for (uint32_t i = 0; i < 4096; ++i) {
        const auto h = header(i == 0 ? 7 : 1, 0xFFFFF, i * 40);
        ASSERT_EQ(12, pwrite(fd, h.data(), 12, static_cast<off_t>(pos)));
        pos += 12 + 0xFFFFF;
    }
    const uint64_t keyAt = pos;
    ASSERT_GT(keyAt, 0xFFFFFFFFull);
    auto h = header(7, 3, 4096 * 40);
    h.insert(h.end(), {'K', 'E', 'Y'});
    ASSERT_EQ(15, pwrite(fd, h.data(), h.size(), static_cast<off_t>(pos)));
    const uint64_t endOfChunks = pos + 15;
    ASSERT_EQ(0, close(fd));

    for (bool trailer : {false, true}) {
        if (trailer) {
            std::vector<uint8_t> t;
            auto put32 = [&](uint32_t v) {
                for (int i = 0; i < 4; ++i) t.push_back(static_cast<uint8_t>(v >> (8 * i)));
            };
            t.insert(t.end(), {'B', 'E', 'G', 'I', 'N', 'I', 'N', 'D', 'E', 'X'});
            for (uint64_t off : {uint64_t{39}, keyAt}) {
                put32(static_cast<uint32_t>(off));
                put32(static_cast<uint32_t>(off >> 32));
                put32(off == 39 ? 0 : 4096 * 40);
                put32(0);
            }
            put32(2);
            t.insert(t.end(), {'E', 'N', 'D', 'I', 'N', 'D', 'E', 'X'});
            fd = open(p.c_str(), O_WRONLY);
            ASSERT_GE(fd, 0);
            ASSERT_EQ(static_cast<ssize_t>(t.size()),
                      pwrite(fd, t.data(), t.size(), static_cast<off_t>(endOfChunks)));
            ASSERT_EQ(0, close(fd));
        }
        RecordFileReader r;
        ASSERT_TRUE(r.Open(p.c_str()));
        EXPECT_EQ(trailer, r.IndexFromTrailer());
        ASSERT_EQ(2u, r.Index().size());
        EXPECT_EQ(keyAt, r.Index()[1].offset);
        EXPECT_EQ(163u, r.TotalTimeSec());
        ASSERT_TRUE(r.SeekToTime(0));
        EXPECT_EQ(keyAt, r.Position());
        ASSERT_EQ(RecordFileReader::Read::kChunk, r.ReadChunk());
        EXPECT_EQ((std::vector<uint8_t>{'K', 'E', 'Y'}),
                  std::vector<uint8_t>(r.Data(), r.Data() + r.DataSize()));
        EXPECT_EQ(RecordFileReader::Read::kEnd, r.ReadChunk());
    }
}
