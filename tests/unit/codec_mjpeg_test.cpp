#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "codec/MjpegDecoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

namespace kavro {
namespace {

constexpr int kWidth = 160;
constexpr int kHeight = 96;

uint8_t LumaAt(int x, int y) { return uint8_t(30 + (x + y) % 180); }
uint8_t UAt(int y, int rows) { return uint8_t(70 + y * 100 / rows); }
uint8_t VAt(int y, int rows) { return uint8_t(180 - y * 90 / rows); }

// One JPEG image from libavcodec's encoder in the given layout, with the standard Huffman tables.
std::vector<uint8_t> EncodeJpeg(AVPixelFormat fmt) {
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
    if (!codec) return {};
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    ctx->width = kWidth;
    ctx->height = kHeight;
    ctx->time_base = AVRational{1, 25};
    ctx->pix_fmt = fmt;
    ctx->flags |= AV_CODEC_FLAG_QSCALE;
    ctx->global_quality = 2 * FF_QP2LAMBDA;
    av_opt_set(ctx->priv_data, "huffman", "default", 0);
    std::vector<uint8_t> out;
    if (avcodec_open2(ctx, codec, nullptr) == 0) {
        AVFrame* f = av_frame_alloc();
        f->format = fmt;
        f->width = kWidth;
        f->height = kHeight;
        av_frame_get_buffer(f, 0);
        const int ch = fmt == AV_PIX_FMT_YUVJ422P ? kHeight : kHeight / 2;
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x) f->data[0][y * f->linesize[0] + x] = LumaAt(x, y);
        for (int y = 0; y < ch; ++y)
            for (int x = 0; x < kWidth / 2; ++x) {
                f->data[1][y * f->linesize[1] + x] = UAt(y, ch);
                f->data[2][y * f->linesize[2] + x] = VAt(y, ch);
            }
        f->quality = ctx->global_quality;
        AVPacket* p = av_packet_alloc();
        if (avcodec_send_frame(ctx, f) == 0 && avcodec_receive_packet(ctx, p) == 0)
            out.assign(p->data, p->data + p->size);
        av_packet_free(&p);
        av_frame_free(&f);
    }
    avcodec_free_context(&ctx);
    return out;
}

double LumaPsnr(const DecodedPicture& p) {
    double se = 0;
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) {
            double d = double(p.y[y * p.yStride + x]) - LumaAt(x, y);
            se += d * d;
        }
    double mse = se / (kWidth * kHeight);
    return mse == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 / mse);
}

struct Decoder {
    explicit Decoder(int w = kWidth, int h = kHeight) {
        auto rec = MakeMjpegDecCreateRecord(w, h);
        handle = HiMJPEGDecCreate(&rec);
    }
    ~Decoder() { HiMJPEGDecDestroy(handle); }
    int32_t Decode(const std::vector<uint8_t>& frame) {
        return HiMJPEGDecFrame(handle, frame.data(), uint32_t(frame.size()), 0, &pic, 0);
    }
    MjpegDecoder* handle;
    DecodedPicture pic;
};

TEST(MjpegDecoder, CompleteImagesComeOut420) {
    av_log_set_level(AV_LOG_QUIET);
    struct Case {
        AVPixelFormat fmt;
        int chromaRows;
    };
    for (const Case& c : {Case{AV_PIX_FMT_YUVJ420P, kHeight / 2}, Case{AV_PIX_FMT_YUVJ422P, kHeight}}) {
        SCOPED_TRACE(c.chromaRows);
        auto jpeg = EncodeJpeg(c.fmt);
        ASSERT_FALSE(jpeg.empty());
        // The record's size does not matter for complete images.
        Decoder d(640, 480);
        ASSERT_NE(d.handle, nullptr);
        for (int round = 0; round < 2; ++round) {
            ASSERT_EQ(kMjpegDecPicture, d.Decode(jpeg));
            ASSERT_EQ(d.pic.width, kWidth);
            ASSERT_EQ(d.pic.height, kHeight);
            EXPECT_GT(LumaPsnr(d.pic), 35.0);
            // Full range kept; each 4:2:0 chroma row stands for one or two source rows.
            const int step = c.chromaRows / (kHeight / 2);
            for (int cy : {0, 11, kHeight / 2 - 1}) {
                int su = 0, sv = 0;
                for (int k = 0; k < step; ++k) {
                    su += UAt(cy * step + k, c.chromaRows);
                    sv += VAt(cy * step + k, c.chromaRows);
                }
                EXPECT_NEAR(d.pic.u[cy * d.pic.uvStride + 7], su / step, 3) << "row " << cy;
                EXPECT_NEAR(d.pic.v[cy * d.pic.uvStride + 7], sv / step, 3) << "row " << cy;
            }
        }
    }
}

// Takes the scan data out of an encoder's image, and rebuilds that image around it with the standard
// quantization tables (luma table 0, chroma table 1), keeping the encoder's other segments.
bool SplitJpeg(const std::vector<uint8_t>& j, std::vector<uint8_t>* scan,
               std::vector<uint8_t>* withStandardTables) {
    // Standard tables in the order they are stored (zigzag).
    static const uint8_t kLuma[64] = {
        16, 11,  12, 14, 12, 10, 16,  14,  13,  14, 18, 17,  16,  19,  24,  40,  26, 24,  22,  22, 24, 49,
        35, 37,  29, 40, 58, 51, 61,  60,  57,  51, 56, 55,  64,  72,  92,  78,  64, 68,  87,  69, 55, 56,
        80, 109, 81, 87, 95, 98, 103, 104, 103, 62, 77, 113, 121, 112, 100, 120, 92, 101, 103, 99};
    static const uint8_t kChromaStart[14] = {17, 18, 18, 24, 21, 24, 47, 26, 26, 47, 99, 66, 56, 66};
    std::vector<uint8_t>& out = *withStandardTables;
    out = {0xFF, 0xD8, 0xFF, 0xDB, 0, 132, 0};
    out.insert(out.end(), kLuma, kLuma + 64);
    out.push_back(1);
    for (int k = 0; k < 64; ++k) out.push_back(k < 14 ? kChromaStart[k] : 99);
    size_t i = 2;
    while (i + 4 <= j.size()) {
        if (j[i] != 0xFF) return false;
        const uint8_t marker = j[i + 1];
        const size_t len = size_t(j[i + 2]) << 8 | j[i + 3];
        if (i + 2 + len > j.size()) return false;
        if (marker == 0xDA) {
            size_t end = j.size();
            if (end >= 2 && j[end - 2] == 0xFF && j[end - 1] == 0xD9) end -= 2;
            scan->assign(j.begin() + i + 2 + len, j.begin() + end);
            out.insert(out.end(), j.begin() + i, j.end());
            return true;
        }
        if (marker != 0xDB) {
            size_t at = out.size();
            out.insert(out.end(), j.begin() + i, j.begin() + i + 2 + len);
            if (marker == 0xC0) {
                // Components 2 and 3 (Cb, Cr) take table 1.
                out[at + 15] = 1;
                out[at + 18] = 1;
            }
        }
        i += 2 + len;
    }
    return false;
}

TEST(MjpegDecoder, BareScanDataDecodesWithStandardTablesAndRecordSize) {
    av_log_set_level(AV_LOG_QUIET);
    auto jpeg = EncodeJpeg(AV_PIX_FMT_YUVJ420P);
    ASSERT_FALSE(jpeg.empty());
    struct {
        std::vector<uint8_t> scan;
    } parts;
    std::vector<uint8_t> reference;
    ASSERT_TRUE(SplitJpeg(jpeg, &parts.scan, &reference));
    ASSERT_FALSE(parts.scan.empty());

    Decoder ref(1, 1);
    ASSERT_EQ(kMjpegDecPicture, ref.Decode(reference));

    Decoder d;
    // Scan data as RTP delivers it (no EOI), and with an EOI left on.
    std::vector<uint8_t> withEnd = parts.scan;
    withEnd.insert(withEnd.end(), {0xFF, 0xD9});
    for (const auto* frame : {&parts.scan, &withEnd}) {
        ASSERT_EQ(kMjpegDecPicture, d.Decode(*frame));
        ASSERT_EQ(d.pic.width, kWidth);
        ASSERT_EQ(d.pic.height, kHeight);
        int differing = 0;
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x)
                differing += d.pic.y[y * d.pic.yStride + x] != ref.pic.y[y * ref.pic.yStride + x];
        for (int y = 0; y < kHeight / 2; ++y)
            for (int x = 0; x < kWidth / 2; ++x)
                differing += d.pic.u[y * d.pic.uvStride + x] != ref.pic.u[y * ref.pic.uvStride + x] ||
                             d.pic.v[y * d.pic.uvStride + x] != ref.pic.v[y * ref.pic.uvStride + x];
        EXPECT_EQ(differing, 0);
    }

    // Without a size in the record bare scan data cannot be placed.
    Decoder noSize(0, 0);
    ASSERT_NE(noSize.handle, nullptr);
    EXPECT_EQ(kMjpegDecDropped, noSize.Decode(parts.scan));
    EXPECT_EQ(kMjpegDecPicture, noSize.Decode(jpeg));
}

TEST(MjpegDecoder, DamagedFramesAreDroppedAndDecodingGoesOn) {
    av_log_set_level(AV_LOG_QUIET);
    auto jpeg = EncodeJpeg(AV_PIX_FMT_YUVJ420P);
    ASSERT_FALSE(jpeg.empty());
    Decoder d;
    ASSERT_NE(d.handle, nullptr);
    EXPECT_EQ(kMjpegDecDropped, HiMJPEGDecFrame(d.handle, nullptr, 0, 0, &d.pic, 0));
    EXPECT_EQ(kMjpegDecDropped, HiMJPEGDecFrame(d.handle, jpeg.data(), uint32_t(jpeg.size()), 0, nullptr, 0));
    EXPECT_EQ(kMjpegDecDropped, HiMJPEGDecFrame(nullptr, jpeg.data(), uint32_t(jpeg.size()), 0, &d.pic, 0));
    EXPECT_EQ(kMjpegDecDropped, d.Decode({0xFF, 0xD8}));

    std::mt19937 rng(11);
    for (int i = 0; i < 300; ++i) {
        std::vector<uint8_t> frame;
        switch (i % 3) {
            case 0:  // random bytes, taken as scan data
                frame.resize(1 + rng() % 4000);
                for (auto& b : frame) b = uint8_t(rng());
                break;
            case 1:  // a real image cut short
                frame.assign(jpeg.begin(), jpeg.begin() + 2 + rng() % (jpeg.size() - 2));
                break;
            default:  // a real image with bytes flipped
                frame = jpeg;
                for (int k = 0; k < 8; ++k) frame[rng() % frame.size()] ^= uint8_t(1 + rng() % 255);
                break;
        }
        int32_t r = d.Decode(frame);
        ASSERT_TRUE(r == kMjpegDecPicture || r == kMjpegDecDropped);
        if (r == kMjpegDecPicture) {
            ASSERT_GT(d.pic.width, 0);
            ASSERT_GT(d.pic.height, 0);
        }
    }
    ASSERT_EQ(kMjpegDecPicture, d.Decode(jpeg));
    EXPECT_GT(LumaPsnr(d.pic), 35.0);
}

TEST(MjpegDecoder, CreationRecord) {
    auto r = MakeMjpegDecCreateRecord(704, 576);
    const uint32_t expected[7] = {0, 0, 704, 576, 0, 0, 0};
    static_assert(sizeof(r) == sizeof(expected), "seven 32-bit fields");
    EXPECT_EQ(0, std::memcmp(&r, expected, sizeof expected));
    EXPECT_EQ(nullptr, HiMJPEGDecCreate(nullptr));
    HiMJPEGDecDestroy(nullptr);
}

}  // namespace
}  // namespace kavro
