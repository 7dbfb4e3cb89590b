#pragma once
#include <cstddef>
#include <cstdint>

#include "source/MediaChunkHeader.h"

namespace kavro {

// Record file: magic, file header, chunks (MediaChunkHeader + data), then, written only by a
// proper stop, the index trailer "BEGININDEX", N entries, N, "ENDINDEX".
constexpr char kRecordMagic[] = "Tessaravine";
constexpr size_t kRecordMagicSize = 11;
constexpr size_t kRecordFileHeaderSize = 28;
constexpr uint64_t kRecordChunksOffset = kRecordMagicSize + kRecordFileHeaderSize;  // 39
constexpr char kIndexBeginMark[] = "BEGININDEX";
constexpr size_t kIndexBeginMarkSize = 10;
constexpr char kIndexEndMark[] = "ENDINDEX";
constexpr size_t kIndexEndMarkSize = 8;
constexpr size_t kIndexEntrySize = 16;
// Trailer bytes besides the entries: the two marks and the 4-byte count.
constexpr size_t kIndexTrailerFixedSize = kIndexBeginMarkSize + 4 + kIndexEndMarkSize;  // 22
constexpr uint8_t kRecordDefaultFps = 30;
constexpr uint8_t kVideoPayloadJpeg = 26;
constexpr uint8_t kVideoPayloadH264 = 96;

// Key-picture index entry, in memory and (16 bytes, 4 of them reserved) in the trailer.
struct RecordIndexEntry {
    uint64_t offset = 0;     // file offset of the chunk header the entry marks
    uint32_t timestamp = 0;  // that chunk's time stamp
};

struct RecordFileHeader {
    uint8_t videoPayloadType = 0;
    uint8_t audioCodec = 0;
    uint16_t width = 0;
    uint16_t height = 0;
    uint8_t fps = 0;
};

// The frame rate byte of the header: the low byte of the rate, 0 or above 30 stored as 30.
inline uint8_t RecordFpsByte(int32_t fps) {
    auto b = static_cast<uint8_t>(fps & 0xFF);
    return (b == 0 || b > 30) ? kRecordDefaultFps : b;
}

inline void PackRecordFileHeader(const RecordFileHeader& h, uint8_t out[kRecordFileHeaderSize]) {
    for (size_t i = 0; i < kRecordFileHeaderSize; ++i) out[i] = 0;
    out[0] = h.videoPayloadType;
    out[1] = h.audioCodec;
    PutLe16(out + 2, h.width);
    PutLe16(out + 4, h.height);
    out[27] = h.fps;
}

inline RecordFileHeader UnpackRecordFileHeader(const uint8_t in[kRecordFileHeaderSize]) {
    RecordFileHeader h;
    h.videoPayloadType = in[0];
    h.audioCodec = in[1];
    h.width = GetLe16(in + 2);
    h.height = GetLe16(in + 4);
    h.fps = in[27];
    return h;
}

inline void PackIndexEntry(const RecordIndexEntry& e, uint8_t out[kIndexEntrySize]) {
    PutLe64(out, e.offset);
    PutLe32(out + 8, e.timestamp);
    PutLe32(out + 12, 0);  // reserved
}

inline RecordIndexEntry UnpackIndexEntry(const uint8_t in[kIndexEntrySize]) {
    RecordIndexEntry e;
    e.offset = GetLe64(in);
    e.timestamp = GetLe32(in + 8);
    return e;
}

}  // namespace kavro
