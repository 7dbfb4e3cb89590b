#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "api/ClientHandle.h"
#include "codec/VoiceEngine.h"
#include "conduit/CBufferConduit.h"
#include "platform/Tick.h"
#include "record/RecordFile.h"
#include "source/CAVSource.h"
#include "codec/JpegTables.h"
#include "source/MediaChunkHeader.h"
#include "source/RtpAudioDepacketizer.h"
#include "source/RtpVideoDepacketizer.h"

using namespace kavro;
using Bytes = std::vector<uint8_t>;

namespace {

class TestSource : public CAVSource {
public:
    int Init() override { return 1; }
    void Release() override {}
    int Run() override { return 0; }
    int Stop() override { return StopAndWait(); }
};

Bytes Rtp(const Bytes& payload, bool marker, uint32_t timestamp = 0, uint8_t pt = 96) {
    Bytes p(12, 0);
    p[0] = 0x80;
    p[1] = static_cast<uint8_t>((marker ? 0x80 : 0) | pt);
    p[4] = static_cast<uint8_t>(timestamp >> 24);
    p[5] = static_cast<uint8_t>(timestamp >> 16);
    p[6] = static_cast<uint8_t>(timestamp >> 8);
    p[7] = static_cast<uint8_t>(timestamp);
    p.insert(p.end(), payload.begin(), payload.end());
    return p;
}

Bytes Nal(uint8_t header, size_t bodyLength, uint8_t seed) {
    Bytes n{header};
    for (size_t i = 0; i < bodyLength; ++i) n.push_back(static_cast<uint8_t>(seed + i * 7 + 1));
    return n;
}

struct Chunk {
    MediaChunkHeader header;
    Bytes data;
};

// The chunks of a finished record file, walked from the fixed start of the chunk area.
std::vector<Chunk> ReadChunks(const std::string& path) {
    std::vector<Chunk> out;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return out;
    Bytes all;
    uint8_t buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) all.insert(all.end(), buf, buf + n);
    fclose(f);
    size_t pos = kRecordChunksOffset;
    while (pos + kMediaChunkHeaderSize <= all.size() &&
           memcmp(all.data() + pos, kIndexBeginMark, kIndexBeginMarkSize) != 0) {
        Chunk c;
        c.header = UnpackMediaChunkHeader(all.data() + pos);
        pos += kMediaChunkHeaderSize;
        if (pos + c.header.length > all.size()) break;
        c.data.assign(all.begin() + static_cast<long>(pos),
                      all.begin() + static_cast<long>(pos + c.header.length));
        pos += c.header.length;
        out.push_back(c);
    }
    return out;
}

class DepacketizerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(video.Init(0x200000, 0, 8192, 1));
        ASSERT_TRUE(audio.Init(0x20000, 0, 8192, 0));
        client.videoPayloadType = 96;
        client.fps = 25;
        client.videoWidth = 352;
        client.videoHeight = 288;
        source.client = &client;
        source.videoConduit = &video;
        source.audioConduit = &audio;
        char tmpl[] = "/tmp/kavro-rtp-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        dir = tmpl;
        path = dir + "/clip.rec";
        snprintf(client.recordPath, sizeof client.recordPath, "%s", path.c_str());
    }
    void TearDown() override {
        unlink(path.c_str());
        rmdir(dir.c_str());
    }
    Bytes ReadFrame() {
        Bytes f(0x100000);
        int n = video.ReadFrame(f.data(), static_cast<int>(f.size()), nullptr, 100);
        f.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return f;
    }

    ClientHandle client;
    CBufferConduit video, audio;
    TestSource source;
    std::string dir, path;
};

TEST_F(DepacketizerTest, SingleNalUnitsBecomeAnnexBAndChunksWithOneIndexEntry) {
    RtpVideoDepacketizer d(&client, &video, &source, RtpVideoDepacketizer::kJpegTypeUdp);
    ASSERT_TRUE(d.Prepare());
    d.BeginRun();
    ASSERT_EQ(1, source.StartRecord());
    Bytes sps = Nal(0x67, 10, 1), pps = Nal(0x68, 4, 2), idr = Nal(0x65, 200, 3);
    for (const Bytes* n : {&sps, &pps, &idr}) {
        Bytes pkt = Rtp(*n, false);
        d.HandlePacket(pkt.data(), pkt.size());
    }
    EXPECT_EQ(0, video.GetFrameCount());  // without the marker bit nothing ends a picture
    EXPECT_EQ(static_cast<int>(3 * 3 + sps.size() + pps.size() + idr.size()), video.GetDataSize());
    EXPECT_EQ(sps.size() + pps.size() + idr.size(), client.byteCount.load());
    EXPECT_EQ(1u, source.recordIndex.size());
    source.StopRecord();

    auto chunks = ReadChunks(path);
    ASSERT_EQ(3u, chunks.size());
    const uint32_t types[] = {7, 8, 5};
    const Bytes* nals[] = {&sps, &pps, &idr};
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(0u, chunks[i].header.kind);
        EXPECT_EQ(types[i], chunks[i].header.type);
        EXPECT_EQ(352, chunks[i].header.width);
        EXPECT_EQ(288, chunks[i].header.height);
        Bytes expect{0, 0, 1};
        expect.insert(expect.end(), nals[i]->begin(), nals[i]->end());
        EXPECT_EQ(expect, chunks[i].data);
    }
}

TEST_F(DepacketizerTest, FragmentedIdrEndsOneFrameAtItsLastFragment) {
    RtpVideoDepacketizer d(&client, &video, &source, RtpVideoDepacketizer::kJpegTypeUdp);
    ASSERT_TRUE(d.Prepare());
    d.BeginRun();
    ASSERT_EQ(1, source.StartRecord());
    Bytes body[3] = {Nal(0, 300, 1), Nal(0, 300, 2), Nal(0, 120, 3)};
    const uint8_t fuHeaders[3] = {0x85, 0x05, 0x45};  // start, middle, end of NAL type 5
    Bytes expectFrame{0, 0, 1, 0x65};
    for (int i = 0; i < 3; ++i) {
        Bytes payload{0x7C, fuHeaders[i]};  // indicator: NRI 3, type 28
        payload.insert(payload.end(), body[i].begin(), body[i].end());
        expectFrame.insert(expectFrame.end(), body[i].begin(), body[i].end());
        Bytes pkt = Rtp(payload, i == 2);
        d.HandlePacket(pkt.data(), pkt.size());
        EXPECT_EQ(i == 2 ? 1 : 0, video.GetFrameCount());
    }
    EXPECT_EQ(expectFrame, ReadFrame());
    source.StopRecord();
    auto chunks = ReadChunks(path);
    ASSERT_EQ(3u, chunks.size());
    EXPECT_EQ(body[0].size() + 4, chunks[0].data.size());
    EXPECT_EQ(body[1], chunks[1].data);
    EXPECT_EQ(5u, chunks[2].header.type);
}

TEST_F(DepacketizerTest, AggregatesAndMarkedSingleUnitsAndDroppedTypes) {
    RtpVideoDepacketizer d(&client, &video, &source, RtpVideoDepacketizer::kJpegTypeUdp);
    ASSERT_TRUE(d.Prepare());
    d.BeginRun();
    // STAP-A with SPS and PPS: both reach the conduit as NAL units.
    Bytes sps = Nal(0x67, 9, 4), pps = Nal(0x68, 3, 5);
    Bytes stap{0x78, 0, static_cast<uint8_t>(sps.size())};
    stap.insert(stap.end(), sps.begin(), sps.end());
    stap.push_back(0);
    stap.push_back(static_cast<uint8_t>(pps.size()));
    stap.insert(stap.end(), pps.begin(), pps.end());
    Bytes pkt = Rtp(stap, false);
    d.HandlePacket(pkt.data(), pkt.size());
    EXPECT_EQ(static_cast<int>(6 + sps.size() + pps.size()), video.GetDataSize());
    EXPECT_EQ(stap.size(), client.byteCount.load());
    // A STAP-A whose size runs past the packet stops at the bad entry.
    Bytes bad{0x78, 0x10, 0x00, 0x41, 0x01};
    pkt = Rtp(bad, false);
    int before = video.GetDataSize();
    d.HandlePacket(pkt.data(), pkt.size());
    EXPECT_EQ(before, video.GetDataSize());
    // A picture in one packet with the marker bit completes a frame.
    Bytes p = Nal(0x41, 50, 6);
    pkt = Rtp(p, true);
    d.HandlePacket(pkt.data(), pkt.size());
    EXPECT_EQ(1, video.GetFrameCount());
    // FU-B and too-short datagrams write nothing.
    before = video.GetDataSize();
    Bytes fub = Rtp(Nal(0x1D, 20, 7), false);
    d.HandlePacket(fub.data(), fub.size());
    Bytes tiny = Rtp(Bytes{0x41}, true);  // 13 bytes
    uint32_t counted = client.byteCount;
    d.HandlePacket(tiny.data(), tiny.size());
    EXPECT_EQ(before, video.GetDataSize());
    EXPECT_EQ(counted, client.byteCount.load());
}

TEST_F(DepacketizerTest, ParameterSetsFromTheDescriptionPrecedeAnIdrWithoutInBandSps) {
    RtpVideoDepacketizer d(&client, &video, &source, RtpVideoDepacketizer::kJpegTypeUdp);
    ASSERT_TRUE(d.Prepare());
    const uint8_t sets[] = {0, 0, 0, 1, 0x67, 1, 2, 3, 0, 0, 0, 1, 0x68, 9};
    d.SetParameterSets(sets, sizeof sets);
    d.BeginRun();
    ASSERT_EQ(1, source.StartRecord());
    for (int pic = 0; pic < 2; ++pic) {
        Bytes idr = Rtp(Nal(0x65, 30, 8), true);
        d.HandlePacket(idr.data(), idr.size());
    }
    Bytes frame = ReadFrame();
    Bytes expectStart{0, 0, 1, 0x67, 1, 2, 3, 0, 0, 0, 1, 0x68, 9, 0, 0, 1, 0x65};
    ASSERT_GE(frame.size(), expectStart.size());
    EXPECT_EQ(expectStart, Bytes(frame.begin(), frame.begin() + static_cast<long>(expectStart.size())));
    EXPECT_EQ(2u, source.recordIndex.size());  // one key picture entry per injected SPS
    // With an SPS in band the description's sets are not added again.
    Bytes sps = Rtp(Nal(0x67, 5, 9), false);
    d.HandlePacket(sps.data(), sps.size());
    Bytes idr = Rtp(Nal(0x65, 30, 8), true);
    d.HandlePacket(idr.data(), idr.size());
    EXPECT_EQ(3u, source.recordIndex.size());
}

// A description whose sets hold a picture (IDR) must not make each IDR ask for the sets again:
// only SPS and PPS are put in front.
TEST_F(DepacketizerTest, PictureAmongTheDescriptionsSetsIsNotInjected) {
    struct Case {
        const char* name;
        Bytes sets;
        Bytes expectStart;  // of the frame the IDR packet ends
    };
    const Case cases[] = {
        {"idr only", {0, 0, 0, 1, 0x65, 7, 7}, {0, 0, 1, 0x65}},
        {"sps idr pps",
         {0, 0, 0, 1, 0x67, 1, 0, 0, 1, 0x65, 7, 0, 0, 0, 1, 0x68, 9},
         {0, 0, 1, 0x67, 1, 0, 0, 1, 0x68, 9, 0, 0, 1, 0x65}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        video.Reset();
        RtpVideoDepacketizer d(&client, &video, &source, RtpVideoDepacketizer::kJpegTypeUdp);
        ASSERT_TRUE(d.Prepare());
        d.SetParameterSets(c.sets.data(), c.sets.size());
        d.BeginRun();
        Bytes idr = Rtp(Nal(0x65, 30, 8), true);
        d.HandlePacket(idr.data(), idr.size());
        Bytes frame = ReadFrame();
        ASSERT_EQ(c.expectStart.size() + 30, frame.size());
        EXPECT_EQ(c.expectStart,
                  Bytes(frame.begin(), frame.begin() + static_cast<long>(c.expectStart.size())));
    }
}

Bytes JpegPacket(uint32_t offset, uint8_t type, uint8_t q, const Bytes& tables, const Bytes& data,
                 bool marker) {
    Bytes payload{0,
                  static_cast<uint8_t>(offset >> 16),
                  static_cast<uint8_t>(offset >> 8),
                  static_cast<uint8_t>(offset),
                  type,
                  q,
                  44,
                  36};
    if (!tables.empty()) {
        payload.push_back(0);
        payload.push_back(0);
        payload.push_back(static_cast<uint8_t>(tables.size() >> 8));
        payload.push_back(static_cast<uint8_t>(tables.size()));
        payload.insert(payload.end(), tables.begin(), tables.end());
    }
    payload.insert(payload.end(), data.begin(), data.end());
    return Rtp(payload, marker, 0, 26);
}

size_t Find(const Bytes& b, std::initializer_list<uint8_t> marker) {
    Bytes m(marker);
    auto it = std::search(b.begin(), b.end(), m.begin(), m.end());
    return it == b.end() ? std::string::npos : static_cast<size_t>(it - b.begin());
}

TEST_F(DepacketizerTest, JpegFragmentsBecomeOneCompleteImage) {
    client.videoPayloadType = 26;
    RtpVideoDepacketizer d(&client, &video, &source, RtpVideoDepacketizer::kJpegTypeUdp);
    ASSERT_TRUE(d.Prepare());
    ASSERT_EQ(1, source.StartRecord());
    Bytes tables(128);
    for (size_t i = 0; i < 128; ++i) tables[i] = static_cast<uint8_t>(i + 1);
    Bytes scan[3] = {Nal(0x11, 299, 1), Nal(0x22, 299, 2), Nal(0x33, 99, 3)};
    uint32_t off = 0;
    for (int i = 0; i < 3; ++i) {
        Bytes pkt = JpegPacket(off, 1, 255, i == 0 ? tables : Bytes{}, scan[i], i == 2);
        d.HandlePacket(pkt.data(), pkt.size());
        off += static_cast<uint32_t>(scan[i].size());
    }
    Bytes f = ReadFrame();
    ASSERT_GT(f.size(), 4u);
    EXPECT_EQ(0xFF, f[0]);
    EXPECT_EQ(0xD8, f[1]);
    EXPECT_EQ(0xD9, f.back());
    size_t dqt = Find(f, {0xFF, 0xDB, 0x00, 0x43, 0x00});
    ASSERT_NE(std::string::npos, dqt);
    EXPECT_EQ(Bytes(tables.begin(), tables.begin() + 64),
              Bytes(f.begin() + static_cast<long>(dqt + 5), f.begin() + static_cast<long>(dqt + 69)));
    size_t sof = Find(f, {0xFF, 0xC0});
    ASSERT_NE(std::string::npos, sof);
    EXPECT_EQ(288, (f[sof + 5] << 8) | f[sof + 6]);
    EXPECT_EQ(352, (f[sof + 7] << 8) | f[sof + 8]);
    EXPECT_EQ(0x22, f[sof + 11]);  // type 1: 4:2:0
    Bytes allScan;
    for (auto& s : scan) allScan.insert(allScan.end(), s.begin(), s.end());
    size_t sos = Find(f, {0xFF, 0xDA});
    ASSERT_NE(std::string::npos, sos);
    EXPECT_EQ(allScan, Bytes(f.begin() + static_cast<long>(sos + 14), f.end() - 2));
    EXPECT_EQ(0u, client.byteCount.load());
    source.StopRecord();
    auto chunks = ReadChunks(path);
    ASSERT_EQ(1u, chunks.size());
    EXPECT_EQ(10u, chunks[0].header.type);
    EXPECT_EQ(f, chunks[0].data);
    EXPECT_EQ(1u, source.recordIndex.size());
}

TEST_F(DepacketizerTest, JpegWithoutTablesGapsAndShortPackets) {
    client.videoPayloadType = 26;
    RtpVideoDepacketizer d(&client, &video, &source, RtpVideoDepacketizer::kJpegTypeTcp);
    ASSERT_TRUE(d.Prepare());
    // Q below 128: the standard tables scaled for Q, and nothing of the scan data skipped.
    Bytes scan = Nal(0x44, 150, 4);
    Bytes pkt = JpegPacket(0, 0, 50, {}, scan, true);
    d.HandlePacket(pkt.data(), pkt.size());
    Bytes f = ReadFrame();
    uint8_t expectTables[128];
    MakeRtpJpegQuantTables(50, expectTables);
    size_t dqt = Find(f, {0xFF, 0xDB, 0x00, 0x43, 0x01});
    ASSERT_NE(std::string::npos, dqt);
    EXPECT_EQ(0, memcmp(expectTables + 64, f.data() + dqt + 5, 64));
    size_t sos = Find(f, {0xFF, 0xDA});
    EXPECT_EQ(scan, Bytes(f.begin() + static_cast<long>(sos + 14), f.end() - 2));
    // A fragment that does not continue where the last one ended drops the frame.
    Bytes a = JpegPacket(0, 0, 50, {}, Nal(1, 99, 1), false);
    Bytes b = JpegPacket(200, 0, 50, {}, Nal(2, 99, 2), true);
    d.HandlePacket(a.data(), a.size());
    d.HandlePacket(b.data(), b.size());
    EXPECT_EQ(0, video.GetFrameCount());
    // A JPEG datagram of 19 bytes is ignored; a following complete frame still arrives.
    Bytes tiny = Rtp(Bytes(7, 0), true, 0, 26);
    d.HandlePacket(tiny.data(), tiny.size());
    Bytes whole = JpegPacket(0, 0, 50, {}, Nal(3, 10, 3), true);
    d.HandlePacket(whole.data(), whole.size());
    EXPECT_EQ(1, video.GetFrameCount());
    // A first fragment that claims more table bytes than it carries is dropped.
    Bytes liar = JpegPacket(0, 1, 255, Bytes(128, 1), {}, true);
    liar[12 + 8 + 3] = 0xFF;  // announced table length 0x80FF
    d.HandlePacket(liar.data(), liar.size());
    EXPECT_EQ(1, video.GetFrameCount());
}

TEST_F(DepacketizerTest, AudioFramesAreDecodedPlayedAndRecorded) {
    client.audioCodec = 1;
    RtpAudioDepacketizer d(&client, &audio, &source);
    ASSERT_TRUE(d.BeginRun());
    ASSERT_EQ(1, source.StartRecord());
    struct Case {
        size_t payload;
        int audioOn;
        int played;  // bytes expected in the conduit
    } cases[] = {{160, 1, 320}, {160, 0, 0}, {161, 1, 320}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.payload);
        audio.Reset();
        client.audioOn = c.audioOn;
        Bytes payload(c.payload);
        for (size_t i = 0; i < payload.size(); ++i)
            payload[i] = VoiceLinearToAlaw(static_cast<int16_t>(i * 100));
        Bytes pkt = Rtp(payload, false, 0x01020304, 8);
        ASSERT_TRUE(d.HandlePacket(pkt.data(), pkt.size()));
        EXPECT_EQ(0x00, pkt[8]);
        EXPECT_EQ(0x01, pkt[9]);
        EXPECT_EQ(c.payload / 2, static_cast<size_t>(pkt[10] | (pkt[11] << 8)));
        EXPECT_EQ(c.played, audio.GetDataSize());
        if (c.played) {
            int16_t first[2];
            ASSERT_EQ(4, audio.Read(first, 4, nullptr, 10));
            EXPECT_EQ(VoiceAlawToLinear(payload[1]), first[1]);
        }
    }
    Bytes tiny(11, 0);
    EXPECT_FALSE(d.HandlePacket(tiny.data(), tiny.size()));
    source.StopRecord();
    auto chunks = ReadChunks(path);
    ASSERT_EQ(3u, chunks.size());
    EXPECT_EQ(1u, chunks[0].header.kind);
    EXPECT_EQ(1u, chunks[0].header.type);
    EXPECT_EQ(164u, chunks[0].data.size());
    EXPECT_EQ(0x01020304u, chunks[0].header.timestamp);
    EXPECT_EQ(165u, chunks[2].data.size());  // an odd payload is recorded whole
    EXPECT_EQ(0u, source.recordIndex.size());
}

TEST_F(DepacketizerTest, AudioConduitIsEmptiedWhenPlaybackFallsBehind) {
    client.audioCodec = 2;
    client.audioOn = 1;
    RtpAudioDepacketizer d(&client, &audio, nullptr);
    ASSERT_TRUE(d.BeginRun());
    Bytes pkt;
    for (int i = 0; i < 5; ++i) {
        pkt = Rtp(Bytes(160, 0xFF), false, 0, 0);
        d.HandlePacket(pkt.data(), pkt.size());
    }
    // 320 bytes per packet; once more than 1024 wait, the next frame starts afresh.
    EXPECT_LE(audio.GetDataSize(), 1024 + 320);
    client.audioCodec = 3;
    EXPECT_FALSE(d.BeginRun());
}

}  // namespace
