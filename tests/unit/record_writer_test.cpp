#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "api/ClientHandle.h"
#include "platform/Tick.h"
#include "record/RecordFile.h"
#include "source/CAVSource.h"
#include "source/ChunkWriter.h"
#include "source/MediaChunkHeader.h"

using namespace kavro;

namespace {

using Bytes = std::vector<uint8_t>;

class TestSource : public CAVSource {
public:
    int Init() override { return 1; }
    void Release() override {}
    int Run() override {
        while (!stopRequested) SleepMs(1);
        return 0;
    }
    int Stop() override { return StopAndWait(); }
    int StopRecord() override {
        ++stopRecordCalls;
        return CAVSource::StopRecord();
    }
    int StopAlarmRecord() override {
        ++stopAlarmRecordCalls;
        return CAVSource::StopAlarmRecord();
    }
    std::atomic<int> stopRecordCalls{0};
    std::atomic<int> stopAlarmRecordCalls{0};
};

Bytes ReadAll(const std::string& path) {
    Bytes out;
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr) return out;
    uint8_t buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0) out.insert(out.end(), buf, buf + n);
    fclose(f);
    return out;
}

Bytes Pattern(size_t n, uint8_t seed) {
    Bytes v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 13);
    return v;
}

struct ParsedChunk {
    uint64_t offset;
    MediaChunkHeader header;
    Bytes data;
};

// Reads a record file back the way a player would: magic, header, chunks up to the trailer
// that the count at its end locates, then the index.
struct ParsedRecord {
    bool ok = false;
    std::string error;
    RecordFileHeader header;
    std::vector<ParsedChunk> chunks;
    std::vector<RecordIndexEntry> index;
    Bytes reserved;  // the reserved bytes of each entry
};

ParsedRecord Parse(const Bytes& f) {
    ParsedRecord r;
    auto fail = [&](const std::string& e) {
        r.error = e;
        return r;
    };
    if (f.size() < kRecordChunksOffset + kIndexTrailerFixedSize) return fail("file too short");
    if (memcmp(f.data(), "Tessaravine", 11) != 0) return fail("bad magic");
    r.header = UnpackRecordFileHeader(f.data() + 11);
    for (size_t i = 6; i < 27; ++i) {
        if (f[11 + i] != 0) return fail("header byte " + std::to_string(i) + " not zero");
    }
    if (memcmp(f.data() + f.size() - 8, "ENDINDEX", 8) != 0) return fail("no ENDINDEX");
    uint32_t n = GetLe32(f.data() + f.size() - 12);
    uint64_t trailer = f.size() - kIndexTrailerFixedSize - uint64_t{16} * n;
    if (trailer < kRecordChunksOffset) return fail("count too large");
    if (memcmp(f.data() + trailer, "BEGININDEX", 10) != 0) return fail("no BEGININDEX where the count says");
    uint64_t pos = kRecordChunksOffset;
    while (pos < trailer) {
        if (pos + kMediaChunkHeaderSize > trailer) return fail("chunk header runs into trailer");
        ParsedChunk c;
        c.offset = pos;
        c.header = UnpackMediaChunkHeader(f.data() + pos);
        pos += kMediaChunkHeaderSize;
        if (pos + c.header.length > trailer) return fail("chunk data runs into trailer");
        c.data.assign(f.begin() + static_cast<long>(pos),
                      f.begin() + static_cast<long>(pos + c.header.length));
        pos += c.header.length;
        r.chunks.push_back(std::move(c));
    }
    for (uint32_t i = 0; i < n; ++i) {
        const uint8_t* e = f.data() + trailer + 10 + 16 * i;
        r.index.push_back(UnpackIndexEntry(e));
        r.reserved.insert(r.reserved.end(), e + 12, e + 16);
    }
    r.ok = true;
    return r;
}

class RecordTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kavro_rec_XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        dir = tmpl;
        client.videoPayloadType = kVideoPayloadH264;
        client.audioCodec = 6;
        client.videoWidth = 0x10280;  // only the low half is stored
        client.videoHeight = 480;
        client.fps = 25;
        source.client = &client;
    }
    void TearDown() override {
        source.StopRecord();
        source.StopAlarmRecord();
        std::string cmd = "rm -rf '" + dir + "'";
        if (system(cmd.c_str()) != 0) ADD_FAILURE() << "cleanup failed";
    }
    void SetPath(char (&field)[256], const std::string& p) {
        snprintf(field, sizeof(field), "%s", p.c_str());
    }
    std::string StartNormal(const std::string& name, int seconds = 0) {
        std::string p = dir + "/" + name;
        SetPath(client.recordPath, p);
        client.recordStartTick = GetTick();
        client.recordDurationMs = seconds * 1000;
        EXPECT_EQ(1, source.StartRecord()) << p;
        return p;
    }
    std::string StartAlarm(const std::string& name, int seconds = 0) {
        std::string p = dir + "/" + name;
        SetPath(client.alarmRecordPath, p);
        client.alarmRecordStartTick = GetTick();
        client.alarmRecordDurationMs = seconds * 1000;
        EXPECT_EQ(1, source.StartAlarmRecord()) << p;
        return p;
    }
    void Feed(const MediaChunk& c) { WriteMediaChunk(source, &client, c); }

    std::string dir;
    ClientHandle client;
    TestSource source;
};

}  // namespace

TEST(MediaChunkHeaderFormat, PacksBitFieldsLittleEndian) {
    MediaChunkHeader h;
    h.kind = kChunkKindAudio;
    h.type = 6;
    h.length = 0x12345;
    h.width = 0x0280;
    h.height = 0x01E0;
    h.timestamp = 0xA1B2C3D4;
    uint8_t b[12];
    PackMediaChunkHeader(h, b);
    const uint8_t expect[12] = {0x19, 0x50, 0x34, 0x12, 0x80, 0x02, 0xE0, 0x01, 0xD4, 0xC3, 0xB2, 0xA1};
    EXPECT_EQ(0, memcmp(expect, b, 12));

    struct Case {
        uint32_t kind, type, length;
    } cases[] = {{0, 7, 0}, {0, 5, kMaxChunkLength}, {1, 1, 1}, {0, 10, 4096}, {1, 0x3FF, 0x80000}};
    for (const Case& c : cases) {
        MediaChunkHeader in;
        in.kind = c.kind;
        in.type = c.type;
        in.length = c.length;
        in.timestamp = c.length ^ 0x5555;
        PackMediaChunkHeader(in, b);
        EXPECT_EQ(0, b[0] & 2) << "bit 1 is always clear";
        MediaChunkHeader out = UnpackMediaChunkHeader(b);
        EXPECT_EQ(c.kind, out.kind);
        EXPECT_EQ(c.type, out.type);
        EXPECT_EQ(c.length, out.length);
        EXPECT_EQ(in.timestamp, out.timestamp);
    }
}

TEST(RecordFileFormat, HeaderAndFramesPerSecond) {
    struct {
        int32_t fps;
        uint8_t stored;
    } cases[] = {{0, 30}, {31, 30}, {25, 25}, {1, 1}, {30, 30}, {256, 30}, {257, 1}, {-1, 30}};
    for (auto& c : cases) EXPECT_EQ(c.stored, RecordFpsByte(c.fps)) << c.fps;

    RecordFileHeader h;
    h.videoPayloadType = 26;
    h.audioCodec = 2;
    h.width = 1280;
    h.height = 720;
    h.fps = 15;
    uint8_t b[28];
    memset(b, 0xCC, sizeof(b));
    PackRecordFileHeader(h, b);
    const uint8_t expect[28] = {26, 2, 0x00, 0x05, 0xD0, 0x02, 0, 0, 0, 0, 0, 0, 0, 0,
                                0,  0, 0,    0,    0,    0,    0, 0, 0, 0, 0, 0, 0, 15};
    EXPECT_EQ(0, memcmp(expect, b, 28));
}

TEST_F(RecordTest, H264RecordingReadsBackFieldByField) {
    std::string path = StartNormal("cam/1/clip.rec");  // folders are created on the way
    EXPECT_EQ(1, source.IsRecording());
    EXPECT_EQ(0, source.IsAlarmRecording());
    EXPECT_EQ(39u, source.recordBytes);

    Bytes sps = Pattern(9, 1), pps = Pattern(5, 2), idr = Pattern(300, 3), slice = Pattern(40, 4);
    Bytes reserved23 = Pattern(6, 5), voice = {0x00, 0x01, 10, 0}, payload = Pattern(20, 6);
    uint32_t t0 = GetTick();
    Feed(H264Chunk(7, sps.data(), 9));
    Feed(H264Chunk(8, pps.data(), 5));
    Feed(H264Chunk(5, idr.data(), 300));
    Feed(AudioChunk(6, 0xABCDEF01u, voice.data(), 4, payload.data(), 20));
    Feed(H264Chunk(1, slice.data(), 40));
    Feed(H264Chunk(23, reserved23.data(), 6));  // stored as type 7 but is no key picture
    Feed(H264Chunk(7, sps.data(), 9));
    uint32_t t1 = GetTick();
    EXPECT_EQ(2u, source.recordIndex.size());
    EXPECT_EQ(1, source.StopRecord());
    EXPECT_EQ(0, source.IsRecording());
    EXPECT_EQ(nullptr, source.recordFile);

    Bytes file = ReadAll(path);
    ParsedRecord r = Parse(file);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(96, r.header.videoPayloadType);
    EXPECT_EQ(6, r.header.audioCodec);
    EXPECT_EQ(0x0280, r.header.width);
    EXPECT_EQ(480, r.header.height);
    EXPECT_EQ(25, r.header.fps);

    struct Expect {
        uint32_t kind, type;
        Bytes data;
    } expect[] = {{0, 7, sps},   {0, 8, pps},        {0, 5, idr}, {1, 6, {}},
                  {0, 1, slice}, {0, 7, reserved23}, {0, 7, sps}};
    expect[3].data = voice;
    expect[3].data.insert(expect[3].data.end(), payload.begin(), payload.end());
    ASSERT_EQ(7u, r.chunks.size());
    for (size_t i = 0; i < 7; ++i) {
        const ParsedChunk& c = r.chunks[i];
        EXPECT_EQ(expect[i].kind, c.header.kind) << i;
        EXPECT_EQ(expect[i].type, c.header.type) << i;
        EXPECT_EQ(expect[i].data.size(), c.header.length) << i;
        EXPECT_EQ(expect[i].data, c.data) << i;
        if (c.header.kind == kChunkKindVideo) {
            EXPECT_EQ(0x0280, c.header.width) << i;
            EXPECT_EQ(480, c.header.height) << i;
            EXPECT_LE(c.header.timestamp - t0, t1 - t0) << "video time stamp is the tick of the write";
        } else {
            EXPECT_EQ(0xABCDEF01u, c.header.timestamp);
        }
    }
    ASSERT_EQ(2u, r.index.size());
    EXPECT_EQ(39u, r.index[0].offset);  // right behind the file header
    EXPECT_EQ(r.chunks[0].header.timestamp, r.index[0].timestamp);
    EXPECT_EQ(r.chunks[6].offset, r.index[1].offset);
    EXPECT_EQ(r.chunks[6].header.timestamp, r.index[1].timestamp);
    EXPECT_EQ(Bytes(8, 0), r.reserved);
    EXPECT_EQ(file.size(), source.recordBytes);
}

TEST_F(RecordTest, StopBeforeFirstKeyPictureWritesEmptyIndex) {
    std::string path = StartNormal("clip.rec");
    Bytes slice = Pattern(33, 9);
    Feed(H264Chunk(1, slice.data(), 33));
    source.StopRecord();
    Bytes file = ReadAll(path);
    ASSERT_EQ(39u + 12 + 33 + 22, file.size());
    const char tail[] = "BEGININDEX\0\0\0\0ENDINDEX";
    EXPECT_EQ(0, memcmp(tail, file.data() + 39 + 12 + 33, 22));
    ParsedRecord r = Parse(file);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_TRUE(r.index.empty());
}

TEST_F(RecordTest, AlarmRecordingRunsBesideNormalWithItsOwnIndex) {
    client.videoPayloadType = kVideoPayloadJpeg;
    client.fps = 0;
    std::string normal = StartNormal("n/clip.rec");
    Bytes f1 = Pattern(100, 1), f2 = Pattern(200, 2), f3 = Pattern(50, 3), voice = Pattern(8, 4);
    Feed(JpegChunk(kJpegChunkTypeUdp, f1.data(), 100));
    std::string alarm = StartAlarm("a/clip.rec");
    Feed(JpegChunk(kJpegChunkTypeUdp, f2.data(), 200));
    Feed(AudioChunk(1, 77, voice.data(), 8, nullptr, 0));
    Feed(JpegChunk(kJpegChunkTypeTcp, f3.data(), 50));
    EXPECT_EQ(1, source.StopAlarmRecord());
    EXPECT_EQ(1, source.IsRecording());
    Feed(JpegChunk(kJpegChunkTypeUdp, f1.data(), 100));
    EXPECT_EQ(1, source.StopRecord());

    ParsedRecord n = Parse(ReadAll(normal)), a = Parse(ReadAll(alarm));
    ASSERT_TRUE(n.ok) << n.error;
    ASSERT_TRUE(a.ok) << a.error;
    EXPECT_EQ(26, n.header.videoPayloadType);
    EXPECT_EQ(30, n.header.fps);
    EXPECT_EQ(30, a.header.fps);
    ASSERT_EQ(5u, n.chunks.size());
    ASSERT_EQ(3u, a.chunks.size());
    EXPECT_EQ(f2, a.chunks[0].data);
    EXPECT_EQ(10u, a.chunks[0].header.type);
    EXPECT_EQ(voice, a.chunks[1].data);
    EXPECT_EQ(7u, a.chunks[2].header.type);
    // Every JPEG frame is a key picture, in each file at its own offset.
    ASSERT_EQ(4u, n.index.size());
    ASSERT_EQ(2u, a.index.size());
    EXPECT_EQ(39u, a.index[0].offset);
    EXPECT_EQ(a.chunks[2].offset, a.index[1].offset);
    EXPECT_EQ(n.chunks[1].offset, n.index[1].offset);
    EXPECT_NE(n.index[1].offset, a.index[0].offset);
    EXPECT_EQ(n.chunks[1].header.timestamp, a.chunks[0].header.timestamp);
}

TEST_F(RecordTest, DurationLimitEndsRecordingAtNextVideoChunk) {
    struct Case {
        const char* name;
        int32_t durationMs;
        int32_t startOffsetMs;  // recordStartTick relative to now
        bool expires;
    } cases[] = {
        {"no limit", 0, -100000, false},
        {"within limit", 10000, -2000, false},
        {"past limit", 1000, -5000, true},
        {"start tick ahead", 1000, 5000, true},
    };
    Bytes video = Pattern(10, 1), audio = Pattern(12, 2);
    for (const Case& c : cases) {
        for (int alarmSide = 0; alarmSide < 2; ++alarmSide) {
            SCOPED_TRACE(std::string(c.name) + (alarmSide ? " (alarm)" : " (normal)"));
            std::string path = alarmSide ? StartAlarm("alarm.rec") : StartNormal("normal.rec");
            uint32_t start = GetTick() + static_cast<uint32_t>(c.startOffsetMs);
            (alarmSide ? client.alarmRecordStartTick : client.recordStartTick) = start;
            (alarmSide ? client.alarmRecordDurationMs : client.recordDurationMs) = c.durationMs;
            auto active = [&] { return alarmSide ? source.IsAlarmRecording() : source.IsRecording(); };

            Feed(AudioChunk(1, 5, audio.data(), 12, nullptr, 0));  // audio never ends a recording
            EXPECT_EQ(1, active());
            Feed(H264Chunk(7, video.data(), 10));
            EXPECT_EQ(c.expires ? 0 : 1, active());
            int stops = alarmSide ? source.stopAlarmRecordCalls.load() : source.stopRecordCalls.load();
            if (!c.expires) (alarmSide ? source.StopAlarmRecord() : source.StopRecord());

            ParsedRecord r = Parse(ReadAll(path));
            ASSERT_TRUE(r.ok) << r.error;
            ASSERT_EQ(c.expires ? 1u : 2u, r.chunks.size());
            EXPECT_EQ(kChunkKindAudio, r.chunks[0].header.kind);
            EXPECT_EQ(c.expires ? 0u : 1u, r.index.size());
            EXPECT_EQ(c.expires ? 1 : 0, stops);
            source.stopRecordCalls = 0;
            source.stopAlarmRecordCalls = 0;
        }
    }
}

TEST_F(RecordTest, ExpiredSideStopsWhileTheOtherGoesOn) {
    std::string normal = StartNormal("normal.rec");
    std::string alarm = StartAlarm("alarm.rec", 1);
    client.alarmRecordStartTick = GetTick() - 3000;
    Bytes v = Pattern(10, 1);
    Feed(H264Chunk(1, v.data(), 10));
    EXPECT_EQ(1, source.IsRecording());
    EXPECT_EQ(0, source.IsAlarmRecording());
    Feed(H264Chunk(1, v.data(), 10));
    source.StopRecord();
    EXPECT_EQ(2u, Parse(ReadAll(normal)).chunks.size());
    ParsedRecord a = Parse(ReadAll(alarm));
    ASSERT_TRUE(a.ok) << a.error;
    EXPECT_TRUE(a.chunks.empty());
}

TEST_F(RecordTest, StartRefusals) {
    FILE* f = fopen((dir + "/file").c_str(), "wb");
    ASSERT_NE(nullptr, f);
    fclose(f);
    std::string tooLong = dir + "/" + std::string(300, 'x');
    struct Case {
        std::string path;
    } cases[] = {{""}, {"clip.rec"}, {dir + "/file/clip.rec"}, {dir + "/file/sub/clip.rec"}, {dir}};
    for (const Case& c : cases) {
        SetPath(client.recordPath, c.path);
        EXPECT_EQ(0, source.StartRecord()) << c.path;
        EXPECT_EQ(0, source.IsRecording()) << c.path;
        EXPECT_EQ(nullptr, source.recordFile);
    }
    // A path filling the whole field has no terminator inside it: refused, nothing created.
    memset(client.recordPath, 'y', sizeof(client.recordPath));
    memcpy(client.recordPath, dir.c_str(), dir.size());
    client.recordPath[dir.size()] = '/';
    EXPECT_EQ(0, source.StartRecord());
    EXPECT_EQ(0, source.IsRecording());
    std::string cut(client.recordPath, 255);
    struct stat st;
    EXPECT_NE(0, stat(cut.c_str(), &st));

    ClientHandle* saved = source.client;
    source.client = nullptr;
    EXPECT_EQ(0, source.StartRecord());
    EXPECT_EQ(0, source.StartAlarmRecord());
    source.client = saved;
}

TEST_F(RecordTest, SecondStartKeepsTheOpenFile) {
    std::string first = StartNormal("first.rec");
    SetPath(client.recordPath, dir + "/second.rec");
    EXPECT_EQ(0, source.StartRecord());
    Bytes v = Pattern(10, 1);
    Feed(H264Chunk(7, v.data(), 10));
    source.StopRecord();
    ParsedRecord r = Parse(ReadAll(first));
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(1u, r.chunks.size());
    EXPECT_TRUE(ReadAll(dir + "/second.rec").empty());
}

TEST_F(RecordTest, NothingOpenMeansNothingWritten) {
    uint8_t b[4] = {1, 2, 3, 4};
    EXPECT_EQ(1, source.WriteRecord(0, b, 4));
    EXPECT_EQ(1, source.WriteAlarmRecord(1, b, 4));
    EXPECT_EQ(0u, source.recordBytes);
    EXPECT_EQ(0u, source.alarmRecordBytes);
    EXPECT_EQ(1, source.StopRecord());  // no file: still succeeds
    EXPECT_EQ(1, source.StopAlarmRecord());
    Feed(H264Chunk(7, b, 4));
    EXPECT_TRUE(source.recordIndex.empty());
}

TEST_F(RecordTest, ChunkLengthLimit) {
    std::string path = StartNormal("big.rec");
    Bytes big(kMaxChunkLength + 1, 0x5A);
    Feed(H264Chunk(1, big.data(), kMaxChunkLength + 1));
    EXPECT_EQ(39u, source.recordBytes);
    Feed(AudioChunk(1, 1, big.data(), 4, big.data(), kMaxChunkLength - 3));  // two parts over the limit
    EXPECT_EQ(39u, source.recordBytes);
    Feed(H264Chunk(1, big.data(), kMaxChunkLength));
    Feed(H264Chunk(1, nullptr, 10));  // no data behind a length: not recorded
    source.StopRecord();
    ParsedRecord r = Parse(ReadAll(path));
    ASSERT_TRUE(r.ok) << r.error;
    ASSERT_EQ(1u, r.chunks.size());
    EXPECT_EQ(kMaxChunkLength, r.chunks[0].header.length);
}

TEST_F(RecordTest, StopAndWaitEndsActiveRecordingsOnly) {
    ASSERT_EQ(0, source.Start());
    EXPECT_EQ(0, source.Stop());
    EXPECT_FALSE(source.IsRunning());
    EXPECT_EQ(0, source.stopRecordCalls.load());
    EXPECT_EQ(0, source.stopAlarmRecordCalls.load());

    TestSource second;
    second.client = &client;
    SetPath(client.recordPath, dir + "/stop.rec");
    ASSERT_EQ(1, second.StartRecord());
    ASSERT_EQ(0, second.Start());
    Bytes v = Pattern(10, 1);
    WriteMediaChunk(second, &client, H264Chunk(7, v.data(), 10));
    EXPECT_EQ(0, second.Stop());
    EXPECT_EQ(1, second.stopRecordCalls.load());
    EXPECT_EQ(0, second.stopAlarmRecordCalls.load());
    ParsedRecord r = Parse(ReadAll(dir + "/stop.rec"));
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(1u, r.index.size());
}

TEST_F(RecordTest, DestroyedSourceLeavesCompleteFiles) {
    {
        TestSource s;
        s.client = &client;
        SetPath(client.recordPath, dir + "/n.rec");
        SetPath(client.alarmRecordPath, dir + "/a.rec");
        ASSERT_EQ(1, s.StartRecord());
        ASSERT_EQ(1, s.StartAlarmRecord());
        Bytes v = Pattern(10, 1);
        WriteMediaChunk(s, &client, H264Chunk(7, v.data(), 10));
    }
    for (const char* name : {"/n.rec", "/a.rec"}) {
        ParsedRecord r = Parse(ReadAll(dir + name));
        ASSERT_TRUE(r.ok) << name << ": " << r.error;
        EXPECT_EQ(1u, r.index.size()) << name;
    }
}

// A producer writes while the host starts and stops both recordings: every file must parse
// cleanly, with each index entry on the header of a key chunk.
TEST_F(RecordTest, StartStopWhileProducingKeepsFilesConsistent) {
    std::atomic<bool> done{false};
    std::thread producer([&] {
        Bytes key = Pattern(50, 1), other = Pattern(700, 2), voice = Pattern(24, 3);
        uint32_t n = 0;
        while (!done) {
            WriteMediaChunk(source, &client, H264Chunk(7, key.data(), 50));
            WriteMediaChunk(source, &client, H264Chunk(1, other.data(), 700));
            WriteMediaChunk(source, &client, AudioChunk(6, n++, voice.data(), 4, voice.data() + 4, 20));
            if (n % 16 == 0) std::this_thread::yield();
        }
    });
    std::vector<std::string> files;
    for (int i = 0; i < 20; ++i) {
        std::string n = dir + "/n" + std::to_string(i) + ".rec";
        std::string a = dir + "/a" + std::to_string(i) + ".rec";
        SetPath(client.recordPath, n);
        SetPath(client.alarmRecordPath, a);
        ASSERT_EQ(1, source.StartRecord());
        SleepMs(2);
        ASSERT_EQ(1, source.StartAlarmRecord());
        SleepMs(3);
        source.StopRecord();
        SleepMs(1);
        source.StopAlarmRecord();
        files.push_back(n);
        files.push_back(a);
    }
    done = true;
    producer.join();
    for (const std::string& p : files) {
        ParsedRecord r = Parse(ReadAll(p));
        ASSERT_TRUE(r.ok) << p << ": " << r.error;
        size_t keys = 0;
        for (const ParsedChunk& c : r.chunks) {
            if (c.header.kind == kChunkKindVideo && c.header.type == 7) ++keys;
        }
        EXPECT_EQ(keys, r.index.size()) << p;
        std::map<uint64_t, const ParsedChunk*> byOffset;
        for (const ParsedChunk& c : r.chunks) byOffset[c.offset] = &c;
        for (const RecordIndexEntry& e : r.index) {
            auto it = byOffset.find(e.offset);
            ASSERT_TRUE(it != byOffset.end()) << p << " entry at " << e.offset << " is no chunk header";
            EXPECT_EQ(7u, it->second->header.type) << p;
            EXPECT_EQ(it->second->header.timestamp, e.timestamp) << p;
        }
    }
}

namespace {

// A host that starts recording right after opening the client does so before the stream is
// described: the header must still carry the stream's values once media arrives.
TEST_F(RecordTest, HeaderTakesTheStreamValuesKnownAtTheFirstChunk) {
    client.videoPayloadType = 0;
    client.audioCodec = 0;
    client.videoWidth = 720;
    client.videoHeight = 576;
    const std::string normal = StartNormal("early.rec");
    const std::string alarm = StartAlarm("early-alarm.rec");
    client.videoPayloadType = kVideoPayloadH264;
    client.audioCodec = 1;
    client.videoWidth = 1280;
    client.videoHeight = 720;
    Bytes sps = Pattern(9, 1), idr = Pattern(100, 3);
    Feed(H264Chunk(7, sps.data(), 9));
    client.videoWidth = 64;  // later changes no longer touch the header
    Feed(H264Chunk(5, idr.data(), 100));
    ASSERT_EQ(1, source.StopRecord());
    ASSERT_EQ(1, source.StopAlarmRecord());
    for (const std::string& path : {normal, alarm}) {
        SCOPED_TRACE(path);
        ParsedRecord r = Parse(ReadAll(path));
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_EQ(kVideoPayloadH264, r.header.videoPayloadType);
        EXPECT_EQ(1, r.header.audioCodec);
        EXPECT_EQ(1280, r.header.width);
        EXPECT_EQ(720, r.header.height);
        ASSERT_EQ(2u, r.chunks.size());
        EXPECT_EQ(sps, r.chunks[0].data);
        ASSERT_EQ(1u, r.index.size());
        EXPECT_EQ(39u, r.index[0].offset);
    }
}

}  // namespace
