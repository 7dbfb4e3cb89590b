#include "support/snapshot_replay_fixtures.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kavro {
namespace fixtures {

namespace {

void Put16(std::vector<uint8_t>& b, uint32_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(std::vector<uint8_t>& b, uint32_t v) {
    Put16(b, v & 0xFFFF);
    Put16(b, v >> 16);
}
void Set32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
void PutText(std::vector<uint8_t>& b, const char* s) { b.insert(b.end(), s, s + strlen(s)); }

}  // namespace

RecordFile MakeRecordFile(uint8_t payloadType, uint8_t fps, const std::vector<RecordChunk>& chunks,
                          bool withTrailer) {
    RecordFile f;
    auto& b = f.bytes;
    PutText(b, "Tessaravine");
    std::vector<uint8_t> header(28, 0);
    header[0] = payloadType;
    header[1] = 1;
    header[2] = 0x40;  // 320 x 240
    header[3] = 0x01;
    header[4] = 0xF0;
    header[27] = fps;
    b.insert(b.end(), header.begin(), header.end());
    std::vector<std::pair<uint64_t, uint32_t>> index;
    for (const auto& c : chunks) {
        f.chunkOffsets.push_back(b.size());
        if (c.indexed) index.push_back({b.size(), c.timestamp});
        Put32(b, (c.kind & 3u) | (c.type & 0x3FFu) << 2 | static_cast<uint32_t>(c.data.size()) << 12);
        Put16(b, 320);
        Put16(b, 240);
        Put32(b, c.timestamp);
        b.insert(b.end(), c.data.begin(), c.data.end());
    }
    f.trailerStart = b.size();
    if (withTrailer) {
        PutText(b, "BEGININDEX");
        for (const auto& e : index) {
            Put32(b, static_cast<uint32_t>(e.first));
            Put32(b, static_cast<uint32_t>(e.first >> 32));
            Put32(b, e.second);
            Put32(b, 0xDEADBEEF);  // reserved: readers must ignore it
        }
        Put32(b, static_cast<uint32_t>(index.size()));
        PutText(b, "ENDINDEX");
    }
    return f;
}

std::vector<RecordChunk> H264Chunks(int seconds, int perSecond, uint32_t startMs) {
    std::vector<RecordChunk> out;
    const uint32_t step = 1000u / static_cast<uint32_t>(perSecond);
    uint32_t ts = startMs;
    uint8_t fill = 1;
    for (int s = 0; s < seconds; ++s) {
        for (int p = 0; p < perSecond; ++p, ts += step) {
            if (p == 0) {
                out.push_back({0, 7, ts, {0, 0, 1, 0x67, fill++, 0x42}, true});
                out.push_back({0, 5, ts, {0, 0, 1, 0x65, fill++, 0x88, 0x84}, false});
            } else {
                out.push_back({0, 1, ts, std::vector<uint8_t>(10 + p, fill++), false});
            }
        }
        out.push_back({1, 1, ts * 8, std::vector<uint8_t>(36, 0xD5), false});
    }
    return out;
}

AviFile MakeAviFile(uint32_t rate, uint32_t frameCount, const std::vector<AviChunk>& chunks, bool signature) {
    AviFile f;
    auto& b = f.bytes;
    PutText(b, "RIFF");
    Put32(b, 0);
    PutText(b, "AVI ");
    // hdrl list: 20 .. 400
    PutText(b, "LIST");
    Put32(b, 380);
    b.resize(400, 0);
    memcpy(&b[20], "hdrlavih", 8);
    Set32(b, 48, frameCount);
    memcpy(&b[100], "strh", 4);
    Set32(b, 132, rate);
    if (signature) memcpy(&b[336], "TessaraVine", 11);
    PutText(b, "JUNK");
    Put32(b, 6);
    b.insert(b.end(), 6, 0);
    PutText(b, "LIST");
    const size_t moviSize = b.size();
    Put32(b, 0);
    PutText(b, "movi");
    for (const auto& c : chunks) {
        f.chunkOffsets.push_back(static_cast<uint32_t>(b.size()));
        PutText(b, "00dc");  // the identifier in movi is not what the reader looks at
        Put32(b, static_cast<uint32_t>(c.data.size()));
        b.insert(b.end(), c.data.begin(), c.data.end());
        if (b.size() & 1) b.push_back(0);
    }
    Set32(b, moviSize, static_cast<uint32_t>(b.size() - moviSize - 4));
    PutText(b, "idx1");
    Put32(b, static_cast<uint32_t>(16 * chunks.size()));
    f.indexStart = b.size();
    for (size_t i = 0; i < chunks.size(); ++i) {
        std::string id = chunks[i].id;
        id.resize(4, ' ');
        PutText(b, id.c_str());
        Put32(b, 0x10);
        Put32(b, f.chunkOffsets[i]);
        Put32(b, static_cast<uint32_t>(chunks[i].data.size()));
    }
    Set32(b, 4, static_cast<uint32_t>(b.size() - 8));
    return f;
}

bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && ok;
}

TempDir::TempDir() {
    char tmpl[] = "/tmp/kavro_replay_XXXXXX";
    if (mkdtemp(tmpl)) dir_ = tmpl;
}

TempDir::~TempDir() {
    if (dir_.empty()) return;
    const std::string cmd = "rm -rf '" + dir_ + "'";
    if (system(cmd.c_str()) != 0) fprintf(stderr, "could not remove %s\n", dir_.c_str());
}

}  // namespace fixtures
}  // namespace kavro
