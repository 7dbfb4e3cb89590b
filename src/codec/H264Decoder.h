#pragma once
#include <cstdint>

#include "codec/DecodedPicture.h"

namespace kavro {

// Creation record of an H.264 decoder, six unsigned 32-bit fields.
struct H264DecCreateRecord {
    uint32_t reserved0;   // 0
    uint32_t reserved1;   // 0
    uint32_t widthMb;     // videoWidth / 16 + 1
    uint32_t heightMb;    // videoHeight / 16 + 1
    uint32_t frameCount;  // taken from the stream's bit rate (a sizing hint)
    uint32_t reserved5;   // 0
};

// Builds the record from the client's announced picture size and bit rate.
H264DecCreateRecord MakeH264DecCreateRecord(int32_t videoWidth, int32_t videoHeight, int32_t streamBitRate);

// Results of Hi264DecFrame.
constexpr int32_t kH264DecPicture = 0;     // a picture is in the record
constexpr int32_t kH264DecNeedInput = -1;  // no (further) picture for this input
constexpr int32_t kH264DecEnd = -2;        // the caller cannot be served (no output record)
constexpr int32_t kH264DecRecreate = -3;   // destroy the decoder and create it anew
constexpr int32_t kH264DecAskAgain = 1;    // no picture this time, ask again with no input

class H264Decoder;  // opaque

// A handle, or null. Creation and destruction are serialised process-wide.
H264Decoder* Hi264DecCreate(const H264DecCreateRecord* record);

// Feeds `length` bytes of an Annex B byte stream, in pieces of any size (null and 0 to ask for more
// output of what was fed before), and returns one picture at a time. The picture's planes stay valid
// until the next call on this handle and may be rewritten by the caller. Repeated calls with no input
// always end with -1.
int32_t Hi264DecFrame(H264Decoder* handle, const uint8_t* data, uint32_t length, uint64_t reserved,
                      DecodedPicture* out, uint32_t flags);

// Releases the handle and everything it holds; null is ignored.
void Hi264DecDestroy(H264Decoder* handle);

}  // namespace kavro
