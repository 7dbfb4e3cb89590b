#pragma once
#include <cstddef>
#include <cstdint>

namespace kavro {

// Little-endian field access for the record formats.
inline void PutLe16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void PutLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void PutLe64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline uint16_t GetLe16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t GetLe32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t GetLe64(const uint8_t* p) {
    return static_cast<uint64_t>(GetLe32(p)) | (static_cast<uint64_t>(GetLe32(p + 4)) << 32);
}

constexpr size_t kMediaChunkHeaderSize = 12;
constexpr uint32_t kChunkKindVideo = 0;
constexpr uint32_t kChunkKindAudio = 1;
constexpr uint32_t kMaxChunkLength = 0xFFFFF;  // 20-bit length field
constexpr uint32_t kNalTypeSps = 7;            // H.264 chunk that starts a key picture
constexpr uint32_t kJpegChunkTypeUdp = 10;
constexpr uint32_t kJpegChunkTypeTcp = 7;

// The 12-byte header in front of each media chunk of a record stream.
// Word at offset 0: bits 0-1 kind (0 video, 1 audio; bit 1 is never written), bits 2-11 type,
// bits 12-31 data length. Then width, height (video only) and the time stamp.
struct MediaChunkHeader {
    uint32_t kind = 0;
    uint32_t type = 0;
    uint32_t length = 0;
    uint16_t width = 0;
    uint16_t height = 0;
    uint32_t timestamp = 0;
};

inline uint32_t PackMediaChunkWord(uint32_t kind, uint32_t type, uint32_t length) {
    return (kind & 0x3u) | ((type & 0x3FFu) << 2) | ((length & kMaxChunkLength) << 12);
}

inline void PackMediaChunkHeader(const MediaChunkHeader& h, uint8_t out[kMediaChunkHeaderSize]) {
    PutLe32(out, PackMediaChunkWord(h.kind, h.type, h.length));
    PutLe16(out + 4, h.width);
    PutLe16(out + 6, h.height);
    PutLe32(out + 8, h.timestamp);
}

inline MediaChunkHeader UnpackMediaChunkHeader(const uint8_t in[kMediaChunkHeaderSize]) {
    uint32_t word = GetLe32(in);
    MediaChunkHeader h;
    h.kind = word & 0x3u;
    h.type = (word >> 2) & 0x3FFu;
    h.length = word >> 12;
    h.width = GetLe16(in + 4);
    h.height = GetLe16(in + 6);
    h.timestamp = GetLe32(in + 8);
    return h;
}

}  // namespace kavro
