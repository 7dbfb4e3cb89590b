#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace kavro {
namespace fixtures {

// One chunk of a record file to be generated.
struct RecordChunk {
    uint32_t kind = 0;  // 0 video, 1 audio (2 and 3 for damaged files)
    uint32_t type = 0;  // NAL type, 7 / 10 for JPEG, audio codec
    uint32_t timestamp = 0;
    std::vector<uint8_t> data;
    bool indexed = false;  // gets an index entry in the trailer
};

struct RecordFile {
    std::vector<uint8_t> bytes;
    std::vector<uint64_t> chunkOffsets;  // header position of each chunk
    uint64_t trailerStart = 0;           // == bytes.size() without a trailer
};

// Magic, 28-byte header (payload type, audio codec, width, height, fps), chunks and, when
// asked, the index trailer of the indexed chunks.
RecordFile MakeRecordFile(uint8_t payloadType, uint8_t fps, const std::vector<RecordChunk>& chunks,
                          bool withTrailer);

// A typical H.264 recording: per second of stream, a key picture (type 7 + type 5 chunk),
// then `perSecond - 1` other pictures (type 1) and one audio chunk; time stamps start at
// `startMs` and advance 1000 / perSecond per picture.
std::vector<RecordChunk> H264Chunks(int seconds, int perSecond, uint32_t startMs);

// One AVI index entry and the data of the chunk it points to.
struct AviChunk {
    std::string id;  // "00dc", "01wb", or anything else
    std::vector<uint8_t> data;
};

struct AviFile {
    std::vector<uint8_t> bytes;
    uint64_t indexStart = 0;
    std::vector<uint32_t> chunkOffsets;  // offset of each chunk's identifier
};

// RIFF form with an hdrl list (total frames at 48, rate at 132, signature at 336 unless
// `signature` is false), a JUNK chunk, the movi list and idx1 with absolute offsets.
AviFile MakeAviFile(uint32_t rate, uint32_t frameCount, const std::vector<AviChunk>& chunks,
                    bool signature = true);

// Writes bytes to path; false on failure.
bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes);

// A fresh folder under /tmp, removed with its contents on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string Path(const std::string& name) const { return dir_ + "/" + name; }
    const std::string& dir() const { return dir_; }

private:
    std::string dir_;
};

}  // namespace fixtures
}  // namespace kavro
