#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "display/PixelConversion.h"

using namespace kavro;

namespace {

// A YUV 4:2:0 picture with strides wider than its rows, as decoders hand them out.
struct YuvPicture {
    int32_t width, height, yStride, uvStride;
    std::vector<uint8_t> y, u, v;
    YuvPicture(int32_t w, int32_t h, uint8_t yv, uint8_t uv, uint8_t vv)
        : width(w), height(h), yStride(w + 32), uvStride((w + 1) / 2 + 16) {
        y.assign(size_t(yStride) * h, yv);
        u.assign(size_t(uvStride) * ((h + 1) / 2), uv);
        v.assign(size_t(uvStride) * ((h + 1) / 2), vv);
    }
    void SetY(int32_t x, int32_t row, uint8_t val) { y[size_t(row) * yStride + x] = val; }
};

struct Rgb {
    int r, g, b;
};

// Reads pixel (x, row) of a surface back as 8-bit RGB.
Rgb ReadPixel(int32_t format, const uint8_t* surface, int32_t pitch, int32_t x, int32_t row) {
    const uint8_t* p = surface + size_t(row) * pitch + size_t(x) * BytesPerPixel(format);
    switch (format) {
        case kFormatRGB32:
        case kFormatRGB24:
            return {p[2], p[1], p[0]};
        case kFormatRGB565: {
            const int w = p[0] | (p[1] << 8);
            return {((w >> 11) & 31) << 3, ((w >> 5) & 63) << 2, (w & 31) << 3};
        }
        case kFormatRGB555: {
            const int w = p[0] | (p[1] << 8);
            return {((w >> 10) & 31) << 3, ((w >> 5) & 31) << 3, (w & 31) << 3};
        }
    }
    return {-1, -1, -1};
}

// A destination surface with guard bytes all around the width x height area the converter owns.
struct GuardedSurface {
    static constexpr uint8_t kGuard = 0xA5;
    static constexpr int32_t kGuardRows = 3;
    int32_t format, width, height, pitch, rowBytes;
    std::vector<uint8_t> mem;
    GuardedSurface(int32_t f, int32_t w, int32_t h)
        : format(f), width(w), height(h), pitch(w * BytesPerPixel(f) + 24), rowBytes(w * BytesPerPixel(f)) {
        mem.assign(size_t(pitch) * (h + 2 * kGuardRows), kGuard);
    }
    uint8_t* Dst() { return mem.data() + size_t(pitch) * kGuardRows; }
    // Count of guard bytes that were overwritten.
    int Damaged() const {
        int n = 0;
        for (size_t i = 0; i < mem.size(); ++i) {
            const int64_t row = int64_t(i / pitch) - kGuardRows;
            const int64_t col = int64_t(i % pitch);
            const bool owned = row >= 0 && row < height && col < rowBytes;
            if (!owned && mem[i] != kGuard) ++n;
        }
        return n;
    }
};

bool Convert(PixelConverter& c, int32_t format, GuardedSurface& s, const YuvPicture& p, int32_t flip) {
    return c.Convert(format, s.Dst(), s.pitch, p.y.data(), p.u.data(), p.v.data(), p.yStride, p.uvStride,
                     p.width, p.height, flip);
}

const int32_t kRgbFormats[] = {kFormatRGB32, kFormatRGB24, kFormatRGB565, kFormatRGB555};
const int32_t kAllFormats[] = {kFormatUYVY, kFormatRGB32, kFormatRGB24, kFormatRGB565, kFormatRGB555};

}  // namespace

TEST(PixelConversion, BlackAndGreyInEveryRgbFormat) {
    PixelConverter conv;
    for (int32_t f : kRgbFormats) {
        SCOPED_TRACE(f);
        YuvPicture black(64, 32, 16, 128, 128);
        GuardedSurface s(f, 64, 32);
        ASSERT_TRUE(Convert(conv, f, s, black, 0));
        for (int32_t row = 0; row < 32; row += 7)
            for (int32_t x = 0; x < 64; x += 9) {
                const Rgb c = ReadPixel(f, s.Dst(), s.pitch, x, row);
                // The 16-bit targets are dithered: allow the lowest step of each channel.
                const int tol = f == kFormatRGB32 || f == kFormatRGB24 ? 0 : 8;
                EXPECT_LE(c.r, tol);
                EXPECT_LE(c.g, tol);
                EXPECT_LE(c.b, tol);
            }
    }
    for (int32_t f : {kFormatRGB32, kFormatRGB24}) {
        for (uint8_t level : {uint8_t(60), uint8_t(128), uint8_t(200)}) {
            YuvPicture grey(32, 16, level, 128, 128);
            GuardedSurface s(f, 32, 16);
            ASSERT_TRUE(Convert(conv, f, s, grey, 0));
            const Rgb c = ReadPixel(f, s.Dst(), s.pitch, 5, 5);
            EXPECT_EQ(c.r, c.g) << "format " << f << " level " << int(level);
            EXPECT_EQ(c.g, c.b) << "format " << f << " level " << int(level);
            // Limited range: Y 16..235 spreads over 0..255.
            EXPECT_NEAR(c.g, (level - 16) * 255 / 219, 3);
        }
    }
}

TEST(PixelConversion, PrimaryColoursKeepTheirChannels) {
    // BT.601 limited-range values of pure red, green and blue; a swap of the chroma planes or of
    // the red and blue channels shows here.
    struct Case {
        uint8_t y, u, v;
        Rgb expect;
    } cases[] = {{81, 90, 240, {255, 0, 0}}, {145, 54, 34, {0, 255, 0}}, {41, 240, 110, {0, 0, 255}}};
    PixelConverter conv;
    for (int32_t f : kRgbFormats)
        for (const Case& k : cases) {
            YuvPicture p(32, 16, k.y, k.u, k.v);
            GuardedSurface s(f, 32, 16);
            ASSERT_TRUE(Convert(conv, f, s, p, 0));
            const Rgb c = ReadPixel(f, s.Dst(), s.pitch, 8, 8);
            EXPECT_NEAR(c.r, k.expect.r, 24) << "format " << f;
            EXPECT_NEAR(c.g, k.expect.g, 24) << "format " << f;
            EXPECT_NEAR(c.b, k.expect.b, 24) << "format " << f;
        }
}

TEST(PixelConversion, UyvyByteOrder) {
    PixelConverter conv;
    YuvPicture p(32, 4, 100, 60, 200);
    GuardedSurface s(kFormatUYVY, 32, 4);
    ASSERT_TRUE(Convert(conv, kFormatUYVY, s, p, 0));
    const uint8_t* row = s.Dst() + s.pitch;
    EXPECT_EQ(60, row[0]);
    EXPECT_EQ(100, row[1]);
    EXPECT_EQ(200, row[2]);
    EXPECT_EQ(100, row[3]);
}

TEST(PixelConversion, FlipPutsTheTopLeftPixelBottomLeft) {
    // Large even size (goes straight to the destination) and odd sizes (go through the work
    // buffer) must flip alike.
    const int32_t sizes[][2] = {{704, 576}, {33, 17}, {16, 3}};
    PixelConverter conv;
    for (int32_t f : kRgbFormats)
        for (const auto& sz : sizes)
            for (int32_t flip : {0, 1}) {
                SCOPED_TRACE(testing::Message()
                             << "format " << f << " " << sz[0] << "x" << sz[1] << " flip " << flip);
                YuvPicture p(sz[0], sz[1], 16, 128, 128);
                p.SetY(0, 0, 235);
                p.SetY(1, 0, 235);
                GuardedSurface s(f, sz[0], sz[1]);
                ASSERT_TRUE(Convert(conv, f, s, p, flip));
                const int32_t bright = flip ? sz[1] - 1 : 0, dark = flip ? 0 : sz[1] - 1;
                EXPECT_GT(ReadPixel(f, s.Dst(), s.pitch, 0, bright).g, 200);
                EXPECT_LT(ReadPixel(f, s.Dst(), s.pitch, 0, dark).g, 60);
                EXPECT_LT(ReadPixel(f, s.Dst(), s.pitch, sz[0] - 1, bright).g, 60);
            }
}

TEST(PixelConversion, NothingWrittenOutsideThePictureArea) {
    const int32_t sizes[][2] = {{1, 1},  {2, 2},  {3, 3},  {4, 4},  {15, 7},    {17, 5},
                                {16, 2}, {32, 4}, {47, 9}, {48, 6}, {352, 288}, {353, 289}};
    PixelConverter conv;
    for (int32_t f : kAllFormats)
        for (const auto& sz : sizes)
            for (int32_t flip : {0, 1}) {
                YuvPicture p(sz[0], sz[1], 120, 90, 170);
                GuardedSurface s(f, sz[0], sz[1]);
                ASSERT_TRUE(Convert(conv, f, s, p, flip));
                EXPECT_EQ(0, s.Damaged())
                    << "format " << f << " " << sz[0] << "x" << sz[1] << " flip " << flip;
                // ...and the last pixel of the area was written.
                const uint8_t* last = s.Dst() + size_t(sz[1] - 1) * s.pitch + s.rowBytes - 1;
                EXPECT_NE(GuardedSurface::kGuard, *last) << "format " << f << " " << sz[0] << "x" << sz[1];
            }
}

TEST(PixelConversion, RejectsBadArgumentsWithoutWriting) {
    PixelConverter conv;
    YuvPicture p(32, 16, 100, 128, 128);
    struct Case {
        const char* what;
        int32_t format, pitchDelta, yStride, uvStride, width, height;
        bool nullDst, nullPlane;
    } cases[] = {
        {"format 0", kFormatNone, 0, p.yStride, p.uvStride, 32, 16, false, false},
        {"unknown format", 9, 0, p.yStride, p.uvStride, 32, 16, false, false},
        {"zero width", kFormatRGB32, 0, p.yStride, p.uvStride, 0, 16, false, false},
        {"negative height", kFormatRGB32, 0, p.yStride, p.uvStride, 32, -2, false, false},
        {"huge width", kFormatRGB32, 0, p.yStride, p.uvStride, 9000, 16, false, false},
        {"pitch below a row", kFormatRGB32, -25, p.yStride, p.uvStride, 32, 16, false, false},
        {"short luma stride", kFormatRGB32, 0, 31, p.uvStride, 32, 16, false, false},
        {"short chroma stride", kFormatRGB32, 0, p.yStride, 15, 32, 16, false, false},
        {"null destination", kFormatRGB32, 0, p.yStride, p.uvStride, 32, 16, true, false},
        {"null plane", kFormatRGB32, 0, p.yStride, p.uvStride, 32, 16, false, true},
    };
    for (const Case& k : cases) {
        GuardedSurface s(kFormatRGB32, 32, 16);
        const std::vector<uint8_t> before = s.mem;
        EXPECT_FALSE(conv.Convert(k.format, k.nullDst ? nullptr : s.Dst(), s.pitch + k.pitchDelta, p.y.data(),
                                  k.nullPlane ? nullptr : p.u.data(), p.v.data(), k.yStride, k.uvStride,
                                  k.width, k.height, 0))
            << k.what;
        EXPECT_EQ(before, s.mem) << k.what;
    }
}
