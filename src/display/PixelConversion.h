#pragma once
#include <cstdint>
#include <vector>

namespace kavro {

// Pixel format of a presenter's picture surface.
enum SurfaceFormat : int32_t {
    kFormatNone = 0,    // unsupported: nothing is converted
    kFormatUYVY = 1,    // packed 4:2:2, bytes U Y0 V Y1
    kFormatRGB32 = 2,   // bytes B G R 0
    kFormatRGB24 = 3,   // bytes B G R
    kFormatRGB565 = 4,  // little-endian word, red mask 0xF800
    kFormatRGB555 = 5,  // little-endian word, red mask 0x7C00
};

// Bytes per pixel of a format (UYVY counts 2: four bytes per pixel pair); 0 for kFormatNone or
// an unknown value.
int32_t BytesPerPixel(int32_t format);

// Sets up the converter's tables and its choice of routines for the processor. Idempotent and
// thread-safe; PixelConverter's constructor calls it.
void InitPixelConversion();

// Planar YUV 4:2:0 (BT.601, limited range) to a packed surface. The converter keeps its work
// buffers between calls, so a steady stream of pictures of one size allocates nothing.
// One converter is used by one thread at a time.
class PixelConverter {
public:
    PixelConverter();
    PixelConverter(const PixelConverter&) = delete;
    PixelConverter& operator=(const PixelConverter&) = delete;

    // Writes exactly `height` rows of `width` pixels, `pitch` bytes apart, starting at dst;
    // with flip, picture row 0 goes to the last of those rows. Nothing outside them is touched,
    // whatever the size (odd sizes included). false, writing nothing, for kFormatNone, a null
    // plane or destination, a size outside 1..8192, a pitch too small for a row, or strides
    // shorter than the rows they describe.
    bool Convert(int32_t format, uint8_t* dst, int32_t pitch, const uint8_t* y, const uint8_t* u,
                 const uint8_t* v, int32_t yStride, int32_t uvStride, int32_t width, int32_t height,
                 int32_t flip);

    static constexpr int32_t kMaxSide = 8192;

private:
    bool Pack(const uint8_t* y, const uint8_t* u, const uint8_t* v, int32_t yStride, int32_t uvStride,
              int32_t width, int32_t height, int32_t packedWidth, int32_t packedHeight);
    bool RunLibrary(int32_t format, uint8_t* dst, int32_t pitch, int32_t width, int32_t height, bool flip);

    std::vector<uint8_t> packed_;   // the picture as contiguous YV12, the layout the library reads
    std::vector<uint8_t> scratch_;  // destination for sizes the library cannot write exactly
};

}  // namespace kavro
