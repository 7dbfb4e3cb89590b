#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "codec/H264Decoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

namespace kavro {
namespace {

constexpr int kWidth = 176;
constexpr int kHeight = 144;
constexpr int kFrames = 12;
constexpr int kGop = 4;

struct Source {
    std::vector<uint8_t> y, u, v;  // planes of each frame, packed (stride = width)
};

uint8_t LumaAt(int f, int x, int y) { return uint8_t(16 + ((x * 2 + y + f * 5) % 200)); }

// Encodes kFrames pictures of moving gradients with libavcodec's H.264 encoder; returns the Annex B
// stream and the encoded pictures, or an empty stream when no encoder is available.
std::vector<uint8_t> EncodeStream(AVPixelFormat fmt, std::vector<Source>* frames) {
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    if (!codec) return {};
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    ctx->width = kWidth;
    ctx->height = kHeight;
    ctx->time_base = AVRational{1, 25};
    ctx->pix_fmt = fmt;
    ctx->gop_size = kGop;
    ctx->max_b_frames = 0;
    ctx->thread_count = 1;
    av_opt_set(ctx->priv_data, "preset", "ultrafast", 0);
    av_opt_set(ctx->priv_data, "tune", "zerolatency", 0);
    av_opt_set(ctx->priv_data, "qp", "18", 0);
    std::vector<uint8_t> stream;
    if (avcodec_open2(ctx, codec, nullptr) < 0) {
        avcodec_free_context(&ctx);
        return {};
    }
    const int cw = kWidth / 2;
    const int ch = fmt == AV_PIX_FMT_YUV422P ? kHeight : kHeight / 2;
    AVFrame* frame = av_frame_alloc();
    AVPacket* pkt = av_packet_alloc();
    auto drain = [&] {
        while (avcodec_receive_packet(ctx, pkt) == 0) {
            stream.insert(stream.end(), pkt->data, pkt->data + pkt->size);
            av_packet_unref(pkt);
        }
    };
    for (int f = 0; f < kFrames; ++f) {
        frame->format = fmt;
        frame->width = kWidth;
        frame->height = kHeight;
        av_frame_get_buffer(frame, 0);
        Source s;
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x) {
                frame->data[0][y * frame->linesize[0] + x] = LumaAt(f, x, y);
                s.y.push_back(LumaAt(f, x, y));
            }
        for (int y = 0; y < ch; ++y)
            for (int x = 0; x < cw; ++x) {
                // Chroma changes from row to row so that 4:2:2 rows must be merged to 4:2:0.
                uint8_t u = uint8_t(60 + (y * 128 / ch)), v = uint8_t(200 - (y * 100 / ch));
                frame->data[1][y * frame->linesize[1] + x] = u;
                frame->data[2][y * frame->linesize[2] + x] = v;
                s.u.push_back(u);
                s.v.push_back(v);
            }
        frame->pts = f;
        avcodec_send_frame(ctx, frame);
        drain();
        av_frame_unref(frame);
        frames->push_back(std::move(s));
    }
    avcodec_send_frame(ctx, nullptr);
    drain();
    av_packet_free(&pkt);
    av_frame_free(&frame);
    avcodec_free_context(&ctx);
    return stream;
}

double LumaPsnr(const DecodedPicture& p, const Source& s) {
    double se = 0;
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) {
            double d = double(p.y[y * p.yStride + x]) - s.y[y * kWidth + x];
            se += d * d;
        }
    double mse = se / (kWidth * kHeight);
    return mse == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 / mse);
}

class H264Test : public ::testing::Test {
protected:
    void SetUp() override {
        av_log_set_level(AV_LOG_QUIET);
        stream_ = EncodeStream(AV_PIX_FMT_YUV420P, &frames_);
        if (stream_.empty()) GTEST_SKIP() << "no H.264 encoder in libavcodec";
        auto rec = MakeH264DecCreateRecord(kWidth, kHeight, 512);
        dec_ = Hi264DecCreate(&rec);
        ASSERT_NE(dec_, nullptr);
    }
    void TearDown() override { Hi264DecDestroy(dec_); }

    // Feeds `data` in pieces of `piece` bytes, draining after each as the display does; calls
    // `onPicture` for each picture. Fails the test if a drain does not end with -1.
    template <typename F>
    void Feed(const uint8_t* data, size_t size, size_t piece, F onPicture) {
        for (size_t pos = 0; pos < size; pos += piece) {
            size_t n = std::min(piece, size - pos);
            int32_t r = Hi264DecFrame(dec_, data + pos, uint32_t(n), 0, &pic_, 0);
            int guard = 0;
            while (r != kH264DecNeedInput) {
                ASSERT_LT(++guard, 64) << "drain does not end";
                ASSERT_TRUE(r == kH264DecPicture || r == kH264DecAskAgain) << "result " << r;
                if (r == kH264DecPicture) onPicture(pic_);
                r = Hi264DecFrame(dec_, nullptr, 0, 0, &pic_, 0);
            }
        }
    }

    std::vector<Source> frames_;
    std::vector<uint8_t> stream_;
    H264Decoder* dec_ = nullptr;
    DecodedPicture pic_;
};

TEST_F(H264Test, StreamInPiecesOfAnySizeGivesEveryPictureInOrder) {
    for (size_t piece : {size_t(1), size_t(7), size_t(1024), size_t(16384), stream_.size()}) {
        SCOPED_TRACE("piece " + std::to_string(piece));
        Hi264DecDestroy(dec_);
        auto rec = MakeH264DecCreateRecord(kWidth, kHeight, 512);
        dec_ = Hi264DecCreate(&rec);
        ASSERT_NE(dec_, nullptr);
        int n = 0;
        Feed(stream_.data(), stream_.size(), piece, [&](const DecodedPicture& p) {
            ASSERT_EQ(p.width, kWidth);
            ASSERT_EQ(p.height, kHeight);
            ASSERT_GE(p.yStride, kWidth);
            ASSERT_GE(p.uvStride, kWidth / 2);
            ASSERT_LT(n, kFrames);
            EXPECT_GT(LumaPsnr(p, frames_[n]), 35.0) << "picture " << n;
            // 4:2:0: chroma rows are half height; check the last chroma row's colour.
            const int cy = kHeight / 2 - 1;
            EXPECT_NEAR(p.u[cy * p.uvStride + 10], frames_[n].u[cy * (kWidth / 2) + 10], 4);
            EXPECT_NEAR(p.v[cy * p.uvStride + 10], frames_[n].v[cy * (kWidth / 2) + 10], 4);
            ++n;
        });
        // The last picture is only known complete when more data follows it.
        EXPECT_GE(n, kFrames - 1);
    }
}

// Each piece in a buffer of exactly its size: the decoder must not read past it (the library
// underneath reads ahead unless given padding). Whole NAL units as pieces, as the depacketizer
// writes them, are what reaches past the end.
TEST_F(H264Test, PiecesInBuffersOfTheirOwnSizeAreNotReadPast) {
    std::vector<size_t> unitStarts;
    for (size_t i = 0; i + 3 < stream_.size(); ++i)
        if (stream_[i] == 0 && stream_[i + 1] == 0 && stream_[i + 2] == 1)
            unitStarts.push_back(i > 0 && stream_[i - 1] == 0 ? i - 1 : i);
    unitStarts.push_back(stream_.size());
    struct Cut {
        const char* name;
        std::vector<size_t> ends;
    };
    std::vector<Cut> cuts = {{"nal units", {unitStarts.begin() + 1, unitStarts.end()}}, {"5 bytes", {}}};
    for (size_t e = 5; e < stream_.size(); e += 5) cuts[1].ends.push_back(e);
    cuts[1].ends.push_back(stream_.size());
    for (const Cut& cut : cuts) {
        SCOPED_TRACE(cut.name);
        Hi264DecDestroy(dec_);
        auto rec = MakeH264DecCreateRecord(kWidth, kHeight, 512);
        dec_ = Hi264DecCreate(&rec);
        ASSERT_NE(dec_, nullptr);
        int n = 0;
        size_t pos = 0;
        for (size_t end : cut.ends) {
            size_t len = end - pos;
            std::unique_ptr<uint8_t[]> own(new uint8_t[len]);
            std::copy(stream_.begin() + long(pos), stream_.begin() + long(end), own.get());
            Feed(own.get(), len, len, [&](const DecodedPicture&) { ++n; });
            pos = end;
        }
        EXPECT_GE(n, kFrames - 1);
    }
}

TEST_F(H264Test, PartialPictureGivesNothingYet) {
    EXPECT_EQ(kH264DecNeedInput, Hi264DecFrame(dec_, stream_.data(), 200, 0, &pic_, 0));
    EXPECT_EQ(kH264DecNeedInput, Hi264DecFrame(dec_, nullptr, 0, 0, &pic_, 0));
    EXPECT_EQ(kH264DecNeedInput, Hi264DecFrame(dec_, nullptr, 0, 0, &pic_, 0));
}

TEST_F(H264Test, RecoversAfterGarbage) {
    std::mt19937 rng(7);
    std::vector<uint8_t> garbage(256 * 1024);
    for (auto& b : garbage) b = uint8_t(rng());
    // Sprinkle start codes so the parser hands damaged units to the decoder.
    for (size_t i = 0; i + 4 < garbage.size(); i += 997) {
        garbage[i] = 0;
        garbage[i + 1] = 0;
        garbage[i + 2] = 1;
    }
    Feed(garbage.data(), garbage.size(), 1000, [](const DecodedPicture&) {});
    // More than the parser may hold without a frame boundary: no start code at all.
    std::vector<uint8_t> zeros(9u << 20, 0);
    Feed(zeros.data(), zeros.size(), 1u << 20, [](const DecodedPicture&) {});

    int good = 0;
    Feed(stream_.data(), stream_.size(), 1024, [&](const DecodedPicture& p) {
        if (p.width == kWidth && p.height == kHeight) ++good;
    });
    EXPECT_GE(good, kFrames - kGop - 1);
}

TEST(H264Decoder, Yuv422StreamComesOut420) {
    av_log_set_level(AV_LOG_QUIET);
    std::vector<Source> frames;
    auto stream = EncodeStream(AV_PIX_FMT_YUV422P, &frames);
    if (stream.empty()) GTEST_SKIP() << "libx264 cannot code 4:2:2 here";
    auto rec = MakeH264DecCreateRecord(kWidth, kHeight, 512);
    H264Decoder* dec = Hi264DecCreate(&rec);
    ASSERT_NE(dec, nullptr);
    DecodedPicture pic;
    int n = 0;
    int32_t r = Hi264DecFrame(dec, stream.data(), uint32_t(stream.size()), 0, &pic, 0);
    while (r != kH264DecNeedInput) {
        ASSERT_LT(n, kFrames);
        if (r == kH264DecPicture) {
            ASSERT_EQ(pic.width, kWidth);
            ASSERT_EQ(pic.height, kHeight);
            // Each 4:2:0 chroma row stands for two 4:2:2 rows.
            for (int cy : {0, 20, kHeight / 2 - 1}) {
                int expectU = (frames[n].u[(2 * cy) * (kWidth / 2) + 5] +
                               frames[n].u[(2 * cy + 1) * (kWidth / 2) + 5]) /
                              2;
                EXPECT_NEAR(pic.u[cy * pic.uvStride + 5], expectU, 5) << "row " << cy;
            }
            ++n;
        }
        r = Hi264DecFrame(dec, nullptr, 0, 0, &pic, 0);
    }
    EXPECT_GE(n, kFrames - 1);
    Hi264DecDestroy(dec);
}

TEST(H264Decoder, MisuseIsReportedNotCrashed) {
    EXPECT_EQ(nullptr, Hi264DecCreate(nullptr));
    DecodedPicture pic;
    EXPECT_EQ(kH264DecRecreate, Hi264DecFrame(nullptr, nullptr, 0, 0, &pic, 0));
    auto rec = MakeH264DecCreateRecord(0, 0, 0);
    H264Decoder* dec = Hi264DecCreate(&rec);
    ASSERT_NE(dec, nullptr);
    EXPECT_EQ(kH264DecEnd, Hi264DecFrame(dec, nullptr, 0, 0, nullptr, 0));
    const uint8_t byte = 0;
    EXPECT_EQ(kH264DecNeedInput, Hi264DecFrame(dec, &byte, 0, 0, &pic, 0));
    Hi264DecDestroy(dec);
    Hi264DecDestroy(nullptr);
}

TEST(H264Decoder, CreationRecord) {
    struct Case {
        int w, h, rate;
        uint32_t wMb, hMb, count;
    };
    const Case cases[] = {
        {720, 576, 512, 46, 37, 4},  {1280, 1080, 2048, 81, 68, 2}, {704, 576, 32, 45, 37, 16},
        {352, 288, 33, 23, 19, 8},   {352, 288, 128, 23, 19, 8},    {352, 288, 129, 23, 19, 2},
        {352, 288, 255, 23, 19, 2},  {352, 288, 256, 23, 19, 4},    {352, 288, 1024, 23, 19, 4},
        {352, 288, 1025, 23, 19, 2}, {0, 0, -5, 1, 1, 16}};
    for (const auto& c : cases) {
        auto r = MakeH264DecCreateRecord(c.w, c.h, c.rate);
        EXPECT_EQ(r.reserved0, 0u);
        EXPECT_EQ(r.reserved1, 0u);
        EXPECT_EQ(r.widthMb, c.wMb) << c.w;
        EXPECT_EQ(r.heightMb, c.hMb) << c.h;
        EXPECT_EQ(r.frameCount, c.count) << c.rate;
        EXPECT_EQ(r.reserved5, 0u);
    }
    static_assert(sizeof(H264DecCreateRecord) == 24, "six 32-bit fields");
}

}  // namespace
}  // namespace kavro
