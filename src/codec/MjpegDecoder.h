#pragma once
#include <cstdint>

#include "codec/DecodedPicture.h"

namespace kavro {

// Creation record of a JPEG decoder, seven unsigned 32-bit fields.
struct MjpegDecCreateRecord {
    uint32_t reserved0;  // 0
    uint32_t reserved1;  // 0
    uint32_t width;      // videoWidth: picture size of frames that carry only scan data
    uint32_t height;     // videoHeight
    uint32_t reserved4;  // 0
    uint32_t reserved5;  // 0
    uint32_t reserved6;  // 0
};

MjpegDecCreateRecord MakeMjpegDecCreateRecord(int32_t videoWidth, int32_t videoHeight);

constexpr int32_t kMjpegDecPicture = 0;
constexpr int32_t kMjpegDecDropped = -1;

class MjpegDecoder;  // opaque

// A handle, or null. Creation and destruction are serialised process-wide.
MjpegDecoder* HiMJPEGDecCreate(const MjpegDecCreateRecord* record);

// Decodes one whole frame: either a complete JPEG image (starting with FF D8) or bare entropy-coded
// scan data as RTP delivers it, which is decoded as baseline 4:2:0 with the standard tables and the
// size of the creation record. 0: a picture is in `out` (planar 4:2:0, valid until the next call,
// writable by the caller); -1: the frame is dropped.
int32_t HiMJPEGDecFrame(MjpegDecoder* handle, const uint8_t* data, uint32_t length, uint64_t reserved,
                        DecodedPicture* out, uint32_t flags);

void HiMJPEGDecDestroy(MjpegDecoder* handle);

}  // namespace kavro
