#include "display/PixelConversion.h"

#include <xvid.h>

#include <algorithm>
#include <cstring>
#include <mutex>

namespace kavro {

namespace {

int LibraryColourspace(int32_t format) {
    switch (format) {
        case kFormatUYVY:
            return XVID_CSP_UYVY;
        case kFormatRGB32:
            return XVID_CSP_BGRA;
        case kFormatRGB24:
            return XVID_CSP_BGR;
        case kFormatRGB565:
            return XVID_CSP_RGB565;
        case kFormatRGB555:
            return XVID_CSP_RGB555;
        default:
            return 0;
    }
}

// The library works on 16-pixel column groups and 2-row pairs; outside that it writes past the
// row or below the last row, so only such sizes go straight to the caller's memory.
bool LibraryWritesExactly(int32_t width, int32_t height) { return width % 16 == 0 && height % 2 == 0; }

int32_t RoundUp(int32_t v, int32_t to) { return (v + to - 1) / to * to; }

}  // namespace

int32_t BytesPerPixel(int32_t format) {
    switch (format) {
        case kFormatRGB32:
            return 4;
        case kFormatRGB24:
            return 3;
        case kFormatUYVY:
        case kFormatRGB565:
        case kFormatRGB555:
            return 2;
        default:
            return 0;
    }
}

void InitPixelConversion() {
    static std::once_flag once;
    std::call_once(once, [] {
        xvid_gbl_init_t init;
        std::memset(&init, 0, sizeof init);
        init.version = XVID_VERSION;
        xvid_global(nullptr, XVID_GBL_INIT, &init, nullptr);
    });
}

PixelConverter::PixelConverter() { InitPixelConversion(); }

bool PixelConverter::Pack(const uint8_t* y, const uint8_t* u, const uint8_t* v, int32_t yStride,
                          int32_t uvStride, int32_t width, int32_t height, int32_t packedWidth,
                          int32_t packedHeight) {
    // The library reads YV12 with the Y plane `width` bytes per row, then V, then U at half that;
    // padding columns and rows repeat the picture's edge so the extra pixels it computes are sane.
    const size_t ySize = size_t(packedWidth) * packedHeight;
    const size_t cSize = ySize / 4;
    if (packed_.size() < ySize + 2 * cSize) packed_.resize(ySize + 2 * cSize);
    uint8_t* py = packed_.data();
    uint8_t* pv = py + ySize;
    uint8_t* pu = pv + cSize;

    auto copyPlane = [](uint8_t* dst, int32_t dstW, int32_t dstH, const uint8_t* src, int32_t srcStride,
                        int32_t srcW, int32_t srcH) {
        for (int32_t r = 0; r < dstH; ++r) {
            const uint8_t* s = src + size_t(std::min(r, srcH - 1)) * srcStride;
            uint8_t* d = dst + size_t(r) * dstW;
            std::memcpy(d, s, size_t(srcW));
            if (dstW > srcW) std::memset(d + srcW, s[srcW - 1], size_t(dstW - srcW));
        }
    };
    const int32_t cw = (width + 1) / 2, ch = (height + 1) / 2;
    copyPlane(py, packedWidth, packedHeight, y, yStride, width, height);
    copyPlane(pv, packedWidth / 2, packedHeight / 2, v, uvStride, cw, ch);
    copyPlane(pu, packedWidth / 2, packedHeight / 2, u, uvStride, cw, ch);
    return true;
}

bool PixelConverter::RunLibrary(int32_t format, uint8_t* dst, int32_t pitch, int32_t width, int32_t height,
                                bool flip) {
    xvid_gbl_convert_t c;
    std::memset(&c, 0, sizeof c);
    c.version = XVID_VERSION;
    c.input.csp = XVID_CSP_YV12;
    c.input.plane[0] = packed_.data();
    c.input.stride[0] = width;
    c.output.csp = LibraryColourspace(format) | (flip ? int(XVID_CSP_VFLIP) : 0);
    c.output.plane[0] = dst;
    c.output.stride[0] = pitch;
    c.width = width;
    c.height = height;
    return xvid_global(nullptr, XVID_GBL_CONVERT, &c, nullptr) == 0;
}

bool PixelConverter::Convert(int32_t format, uint8_t* dst, int32_t pitch, const uint8_t* y, const uint8_t* u,
                             const uint8_t* v, int32_t yStride, int32_t uvStride, int32_t width,
                             int32_t height, int32_t flip) {
    const int32_t bpp = BytesPerPixel(format);
    if (bpp == 0 || !dst || !y || !u || !v) return false;
    if (width < 1 || height < 1 || width > kMaxSide || height > kMaxSide) return false;
    const int32_t rowBytes = width * bpp;
    if (pitch < rowBytes || yStride < width || uvStride < (width + 1) / 2) return false;

    if (LibraryWritesExactly(width, height)) {
        Pack(y, u, v, yStride, uvStride, width, height, width, height);
        return RunLibrary(format, dst, pitch, width, height, flip != 0);
    }

    // Convert a padded picture into our own buffer, with room to spare on every side, then copy
    // the part that belongs to the caller.
    const int32_t pw = RoundUp(width, 16), ph = RoundUp(height, 2);
    const int32_t scratchPitch = pw * bpp + 64;
    const size_t margin = size_t(scratchPitch) * 2;
    const size_t need = margin * 2 + size_t(scratchPitch) * ph;
    if (scratch_.size() < need) scratch_.resize(need);
    Pack(y, u, v, yStride, uvStride, width, height, pw, ph);
    uint8_t* base = scratch_.data() + margin;
    if (!RunLibrary(format, base, scratchPitch, pw, ph, false)) return false;
    for (int32_t r = 0; r < height; ++r) {
        const int32_t to = flip ? height - 1 - r : r;
        std::memcpy(dst + size_t(to) * pitch, base + size_t(r) * scratchPitch, size_t(rowBytes));
    }
    return true;
}

}  // namespace kavro
