#pragma once
#include <cstdint>

namespace kavro {

// Planar YUV 4:2:0 picture as a decoder hands it out: chroma planes are half width and half
// height. The planes belong to the decoder and stay valid until its next call. They are read-only:
// later pictures may be predicted from them (rotation works on a copy).
struct DecodedPicture {
    uint8_t* y = nullptr;
    uint8_t* u = nullptr;
    uint8_t* v = nullptr;
    int32_t width = 0;
    int32_t height = 0;
    int32_t yStride = 0;
    int32_t uvStride = 0;
};

}  // namespace kavro
