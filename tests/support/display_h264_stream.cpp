#include "support/display_h264_stream.h"

#include <random>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

namespace kavro {
namespace test {

std::vector<uint8_t> Stream::All() const {
    std::vector<uint8_t> all;
    for (const auto& u : units) all.insert(all.end(), u.begin(), u.end());
    return all;
}

Stream Encode(int width, int height, int frames, int gop, int qp, int noise) {
    Stream s;
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    if (!codec) return s;
    av_log_set_level(AV_LOG_QUIET);
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    ctx->width = width;
    ctx->height = height;
    ctx->time_base = AVRational{1, 25};
    ctx->pix_fmt = AV_PIX_FMT_YUV420P;
    ctx->gop_size = gop;
    ctx->max_b_frames = 0;
    ctx->thread_count = 1;
    av_opt_set(ctx->priv_data, "preset", "ultrafast", 0);
    av_opt_set(ctx->priv_data, "tune", "zerolatency", 0);
    av_opt_set(ctx->priv_data, "qp", std::to_string(qp).c_str(), 0);
    if (avcodec_open2(ctx, codec, nullptr) < 0) {
        avcodec_free_context(&ctx);
        return s;
    }
    s.width = width;
    s.height = height;
    std::mt19937 rng(42);
    AVFrame* frame = av_frame_alloc();
    AVPacket* pkt = av_packet_alloc();
    auto drain = [&] {
        while (avcodec_receive_packet(ctx, pkt) == 0) {
            s.units.emplace_back(pkt->data, pkt->data + pkt->size);
            av_packet_unref(pkt);
        }
    };
    for (int f = 0; f < frames; ++f) {
        frame->format = AV_PIX_FMT_YUV420P;
        frame->width = width;
        frame->height = height;
        av_frame_get_buffer(frame, 0);
        std::vector<uint8_t> luma(size_t(width) * height);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                int v = 40 + (x + 2 * y + 6 * f) % 160 + (noise ? int(rng() % noise) : 0);
                luma[size_t(y) * width + x] = uint8_t(v);
                frame->data[0][y * frame->linesize[0] + x] = uint8_t(v);
            }
        for (int p = 1; p < 3; ++p)
            for (int y = 0; y < height / 2; ++y)
                for (int x = 0; x < width / 2; ++x)
                    frame->data[p][y * frame->linesize[p] + x] = uint8_t(100 + p * 20);
        frame->pts = f;
        avcodec_send_frame(ctx, frame);
        drain();
        av_frame_unref(frame);
        s.luma.push_back(std::move(luma));
    }
    avcodec_send_frame(ctx, nullptr);
    drain();
    av_packet_free(&pkt);
    av_frame_free(&frame);
    avcodec_free_context(&ctx);
    return s;
}

}  // namespace test
}  // namespace kavro
