#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/pixfmt.h>
}

#include <cmath>
#include <cstring>
#include <vector>

#include "record/JpegEncoder.h"

using namespace kavro;

namespace {

// Planar 4:2:0 picture with room for strides wider than the picture.
struct Picture {
    int width, height, yStride, uvStride;
    std::vector<uint8_t> y, u, v;
    Picture(int w, int h, int yPad = 0, int uvPad = 0)
        : width(w), height(h), yStride(w + yPad), uvStride((w + 1) / 2 + uvPad) {
        y.assign(static_cast<size_t>(yStride) * h, 0);
        u.assign(static_cast<size_t>(uvStride) * ((h + 1) / 2), 0);
        v.assign(u.size(), 0);
    }
    uint8_t Y(int i, int j) const { return y[i * yStride + j]; }
    uint8_t U(int i, int j) const { return u[(i / 2) * uvStride + j / 2]; }
    uint8_t V(int i, int j) const { return v[(i / 2) * uvStride + j / 2]; }
};

// Gradients with a bright rectangle and a dark disc: smooth areas plus sharp edges.
// Pictures under 32 pixels get the gradients only: a shape filling most of a block is not a
// fair quality measure at this quantizer.
Picture Synthetic(int w, int h, int yPad = 0, int uvPad = 0) {
    Picture p(w, h, yPad, uvPad);
    const bool shapes = w >= 32 && h >= 32;
    for (int i = 0; i < h; ++i)
        for (int j = 0; j < w; ++j) {
            int val = 16 + (j * 200) / std::max(1, w - 1) / 2 + (i * 200) / std::max(1, h - 1) / 2;
            if (shapes && i > h / 4 && i < h / 2 && j > w / 5 && j < w / 2) val = 235;
            const int dx = j - 2 * w / 3, dy = i - 2 * h / 3, r = std::min(w, h) / 5;
            if (shapes && dx * dx + dy * dy < r * r) val = 20;
            p.y[i * p.yStride + j] = static_cast<uint8_t>(val);
        }
    const int cw = (w + 1) / 2, ch = (h + 1) / 2;
    for (int i = 0; i < ch; ++i)
        for (int j = 0; j < cw; ++j) {
            p.u[i * p.uvStride + j] = static_cast<uint8_t>(64 + (j * 128) / std::max(1, cw));
            p.v[i * p.uvStride + j] = static_cast<uint8_t>(192 - (i * 128) / std::max(1, ch));
        }
    // Stride padding holds values that must never reach the image.
    for (int i = 0; i < h; ++i)
        for (int j = w; j < p.yStride; ++j) p.y[i * p.yStride + j] = 255;
    return p;
}

struct Decoded {
    int width = 0, height = 0;
    AVPixelFormat format = AV_PIX_FMT_NONE;
    std::vector<uint8_t> planes[3];  // tightly packed, width x height each (4:4:4 expected)
};

// Decodes one JPEG image with the stock MJPEG decoder; false when it is refused.
bool DecodeJpeg(const uint8_t* data, size_t n, Decoded* out) {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MJPEG);
    if (!codec) return false;
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    AVPacket* pkt = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    bool ok = ctx && pkt && frame && avcodec_open2(ctx, codec, nullptr) == 0 &&
              av_new_packet(pkt, static_cast<int>(n)) == 0;
    if (ok) {
        memcpy(pkt->data, data, n);
        ok = avcodec_send_packet(ctx, pkt) == 0 && avcodec_send_packet(ctx, nullptr) == 0 &&
             avcodec_receive_frame(ctx, frame) == 0;
    }
    if (ok) {
        out->width = frame->width;
        out->height = frame->height;
        out->format = static_cast<AVPixelFormat>(frame->format);
        for (int c = 0; c < 3; ++c) {
            out->planes[c].resize(static_cast<size_t>(frame->width) * frame->height);
            for (int i = 0; i < frame->height; ++i)
                memcpy(&out->planes[c][static_cast<size_t>(i) * frame->width],
                       frame->data[c] + static_cast<ptrdiff_t>(i) * frame->linesize[c], frame->width);
        }
    }
    av_frame_free(&frame);
    av_packet_free(&pkt);
    avcodec_free_context(&ctx);
    return ok;
}

double Psnr(const Picture& p, const Decoded& d, int comp) {
    double se = 0;
    for (int i = 0; i < p.height; ++i)
        for (int j = 0; j < p.width; ++j) {
            const int ref = comp == 0 ? p.Y(i, j) : comp == 1 ? p.U(i, j) : p.V(i, j);
            const double e = ref - d.planes[comp][static_cast<size_t>(i) * d.width + j];
            se += e * e;
        }
    const double mse = se / (static_cast<double>(p.width) * p.height);
    return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

std::vector<uint8_t> Encode(const Picture& p, int* result = nullptr) {
    std::vector<uint8_t> out(static_cast<size_t>(p.yStride) * p.height + 4096);
    size_t n = 0;
    const int r = EncodeJpeg(p.yStride, p.y.data(), p.u.data(), p.v.data(), p.width, p.height, out.data(),
                             out.size(), &n, p.uvStride);
    if (result) *result = r;
    out.resize(r == kJpegOk ? n : 0);
    return out;
}

// Bits of a byte string as text, for comparing against hand-derived codes.
std::string Bits(const uint8_t* p, size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i)
        for (int b = 7; b >= 0; --b) s += ((p[i] >> b) & 1) ? '1' : '0';
    return s;
}

}  // namespace

TEST(SnapshotJpeg, ScaledQuantTables) {
    const auto luma = jpeg::ScaledQuantTable(jpeg::LumaQuantBase(), 50);
    const auto chroma = jpeg::ScaledQuantTable(jpeg::ChromaQuantBase(), 50);
    EXPECT_EQ(8, luma[0]);      // 16 -> 8
    EXPECT_EQ(6, luma[1]);      // natural 1 (11) -> 6
    EXPECT_EQ(6, luma[2]);      // natural 8 (12) -> 6
    EXPECT_EQ(50, luma[63]);    // 99 -> 50
    EXPECT_EQ(9, chroma[0]);    // 17 -> 9
    EXPECT_EQ(50, chroma[63]);  // 99 -> 50
    const auto low = jpeg::ScaledQuantTable(jpeg::LumaQuantBase(), 1);
    const auto high = jpeg::ScaledQuantTable(jpeg::LumaQuantBase(), 10000);
    for (int k = 0; k < 64; ++k) {
        EXPECT_EQ(1, low[k]) << k;
        EXPECT_EQ(255, high[k]) << k;
    }
}

TEST(SnapshotJpeg, QuantizeRoundsHalfUpTowardZero) {
    const struct {
        float x;
        int q;
    } cases[] = {{2.5f, 3}, {-2.5f, -2}, {0.49f, 0}, {-0.49f, 0},
                 {0.5f, 1}, {-0.5f, 0},  {7.2f, 7},  {-3.7f, -3}};
    for (const auto& c : cases) EXPECT_EQ(c.q, jpeg::Quantize(c.x)) << c.x;
}

TEST(SnapshotJpeg, MagnitudeCategories) {
    const struct {
        int v, cat;
    } cases[] = {{0, 0}, {1, 1},   {-1, 1},    {2, 2},     {3, 2},     {-3, 2},
                 {4, 3}, {255, 8}, {1023, 10}, {1024, 11}, {2046, 11}, {-2048, 12}};
    for (const auto& c : cases) EXPECT_EQ(c.cat, jpeg::Category(c.v)) << c.v;
}

TEST(SnapshotJpeg, BlockCodingSymbolsAndBits) {
    struct Case {
        const char* name;
        std::vector<std::pair<int, int16_t>> coeffs;  // zigzag position, value
        std::vector<uint8_t> symbols;                 // DC category first, then AC symbols
        const char* bits;                             // expected bit string, or null
    };
    const Case cases[] = {
        {"flat block: DC then EOB", {}, {0x00, 0x00}, "001010"},
        {"DC only, positive",
         {{0, 5}},
         {0x03, 0x00},
         "100"
         "101"
         "1010"},
        {"DC only, negative",
         {{0, -5}},
         {0x03, 0x00},
         "100"
         "010"
         "1010"},
        {"sixteen zeros then a value: ZRL, run 0",
         {{17, 1}},
         {0x00, 0xF0, 0x01, 0x00},
         "00"
         "11111111001"
         "00"
         "1"
         "1010"},
        {"first AC only",
         {{1, -1}},
         {0x00, 0x01, 0x00},
         "00"
         "00"
         "0"
         "1010"},
        {"last position 63 ends without EOB", {{63, 1}}, {0x00, 0xF0, 0xF0, 0xF0, 0xE1}, nullptr},
        {"run of 15 then value needs no ZRL", {{16, 1}}, {0x00, 0xF1, 0x00}, nullptr},
    };
    for (const auto& c : cases) {
        int16_t zz[64] = {};
        for (const auto& pv : c.coeffs) zz[pv.first] = pv.second;
        uint8_t buf[64];
        jpeg::BitWriter w(buf, sizeof buf);
        std::vector<uint8_t> symbols;
        int pred = 0;
        jpeg::EncodeBlock(w, jpeg::kLumaTables, zz, pred, &symbols);
        EXPECT_EQ(c.symbols, symbols) << c.name;
        EXPECT_EQ(zz[0], pred) << c.name;
        if (c.bits) {
            const size_t nbits = strlen(c.bits);
            w.Flush();
            const std::string got = Bits(buf, w.Size());
            ASSERT_GE(got.size(), nbits) << c.name;
            EXPECT_EQ(c.bits, got.substr(0, nbits)) << c.name;
            EXPECT_EQ(std::string(got.size() - nbits, '1'), got.substr(nbits)) << c.name << ": padding";
        }
    }
}

TEST(SnapshotJpeg, DcPredictionCarriesAcrossBlocks) {
    uint8_t buf[16];
    jpeg::BitWriter w(buf, sizeof buf);
    std::vector<uint8_t> symbols;
    int pred = 0;
    int16_t a[64] = {3}, b[64] = {3};
    jpeg::EncodeBlock(w, jpeg::kLumaTables, a, pred, &symbols);
    jpeg::EncodeBlock(w, jpeg::kLumaTables, b, pred, &symbols);
    // Second block repeats the DC: difference 0, category 0.
    EXPECT_EQ((std::vector<uint8_t>{0x02, 0x00, 0x00, 0x00}), symbols);
}

TEST(SnapshotJpeg, StuffsZeroAfterFfAndPadsWithOnes) {
    uint8_t buf[8];
    jpeg::BitWriter w(buf, sizeof buf);
    w.PutBits(0xFF, 8);
    w.PutBits(0x1, 3);  // 001 then five padding ones
    w.Flush();
    ASSERT_EQ(3u, w.Size());
    EXPECT_EQ(0xFF, buf[0]);
    EXPECT_EQ(0x00, buf[1]);
    EXPECT_EQ(0x3F, buf[2]);
}

// A flat mid-grey picture codes every MCU as three DC-0/EOB blocks: 6 + 4 + 4 bits.
TEST(SnapshotJpeg, FlatPal720x576Has6480McusAndHeightBeforeWidth) {
    Picture p(720, 576);
    std::fill(p.y.begin(), p.y.end(), 128);
    std::fill(p.u.begin(), p.u.end(), 128);
    std::fill(p.v.begin(), p.v.end(), 128);
    const auto jpg = Encode(p);
    const size_t headers = 20 + 2 * 69 + 19 + 2 * 33 + 2 * 183 + 14;
    ASSERT_EQ(headers + 6480u * 14 / 8 + 2, jpg.size());
    const uint8_t sof[] = {0xFF, 0xC0, 0x00, 0x11, 0x08, 0x02, 0x40, 0x02, 0xD0, 0x03};
    EXPECT_EQ(0, memcmp(jpg.data() + 20 + 2 * 69, sof, sizeof sof));
    EXPECT_EQ(0xFF, jpg[jpg.size() - 2]);
    EXPECT_EQ(0xD9, jpg[jpg.size() - 1]);
    const uint8_t head[] = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0x00, 0x01, 0x01};
    EXPECT_EQ(0, memcmp(jpg.data(), head, sizeof head));
}

TEST(SnapshotJpeg, DecodesAtAnnouncedSizeWithGoodQuality) {
    const struct {
        int w, h, yPad, uvPad;
    } cases[] = {
        {320, 240, 0, 0},   // whole blocks
        {352, 288, 32, 0},  // stride wider than the picture, chroma stride not half of it
        {33, 17, 0, 0},     // neither side a multiple of 8, odd chroma size
        {45, 37, 3, 1},    {1, 1, 0, 0}, {8, 9, 5, 3}, {719, 575, 49, 7},
    };
    for (const auto& c : cases) {
        const Picture p = Synthetic(c.w, c.h, c.yPad, c.uvPad);
        int r = -1;
        const auto jpg = Encode(p, &r);
        ASSERT_EQ(kJpegOk, r) << c.w << "x" << c.h;
        Decoded d;
        ASSERT_TRUE(DecodeJpeg(jpg.data(), jpg.size(), &d)) << c.w << "x" << c.h;
        EXPECT_EQ(c.w, d.width);
        EXPECT_EQ(c.h, d.height);
        ASSERT_TRUE(d.format == AV_PIX_FMT_YUVJ444P || d.format == AV_PIX_FMT_YUV444P) << d.format;
        for (int comp = 0; comp < 3; ++comp)
            EXPECT_GE(Psnr(p, d, comp), 30.0) << c.w << "x" << c.h << " component " << comp;
    }
}

TEST(SnapshotJpeg, NeverWritesPastTheOutputArea) {
    const Picture p = Synthetic(64, 48);
    const auto full = Encode(p);
    ASSERT_FALSE(full.empty());
    const size_t needed = full.size();
    for (size_t cap : {size_t{0}, size_t{1}, size_t{100}, size_t{622}, needed / 2, needed - 2, needed - 1}) {
        std::vector<uint8_t> out(cap + 256, 0xA5);
        size_t n = 12345;
        EXPECT_EQ(kJpegNoSpace, EncodeJpeg(p.yStride, p.y.data(), p.u.data(), p.v.data(), p.width, p.height,
                                           out.data(), cap, &n, p.uvStride))
            << cap;
        EXPECT_EQ(0u, n) << cap;
        for (size_t i = cap; i < out.size(); ++i) ASSERT_EQ(0xA5, out[i]) << "cap " << cap << " byte " << i;
    }
    std::vector<uint8_t> exact(needed);
    size_t n = 0;
    EXPECT_EQ(kJpegOk, EncodeJpeg(p.yStride, p.y.data(), p.u.data(), p.v.data(), p.width, p.height,
                                  exact.data(), needed, &n, p.uvStride));
    EXPECT_EQ(full, exact);
}

TEST(SnapshotJpeg, RefusesUnusablePictures) {
    Picture p(16, 16);
    uint8_t out[4096];
    size_t n = 0;
    const struct {
        const char* name;
        int yStride, w, h, uvStride;
        bool nullY;
    } cases[] = {
        {"zero width", 16, 0, 16, 8, false},
        {"negative height", 16, 16, -2, 8, false},
        {"stride below width", 8, 16, 16, 8, false},
        {"chroma stride below half width", 16, 16, 16, 7, false},
        {"too wide for the header", 70000, 70000, 1, 35000, false},
        {"no luma plane", 16, 16, 16, 8, true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(kJpegBadPicture, EncodeJpeg(c.yStride, c.nullY ? nullptr : p.y.data(), p.u.data(),
                                              p.v.data(), c.w, c.h, out, sizeof out, &n, c.uvStride))
            << c.name;
}
