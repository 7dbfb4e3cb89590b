#include "codec/PictureOutput.h"

#include <cstring>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

namespace kavro {
namespace {

// Largest picture accepted (bounds the output allocation for hostile streams).
constexpr int kMaxDimension = 8192;

bool IsPlanar420(int format) { return format == AV_PIX_FMT_YUV420P || format == AV_PIX_FMT_YUVJ420P; }

// The full-range JPEG layouts are handed to the scaler as their limited-range twins, so that it only
// resamples chroma and leaves the sample values' range as the stream has it (as for yuvj420p).
AVPixelFormat ScalerSource(int format) {
    switch (format) {
        case AV_PIX_FMT_YUVJ422P:
            return AV_PIX_FMT_YUV422P;
        case AV_PIX_FMT_YUVJ444P:
            return AV_PIX_FMT_YUV444P;
        case AV_PIX_FMT_YUVJ440P:
            return AV_PIX_FMT_YUV440P;
        case AV_PIX_FMT_YUVJ411P:
            return AV_PIX_FMT_YUV411P;
        default:
            return static_cast<AVPixelFormat>(format);
    }
}

}  // namespace

PictureOutput::~PictureOutput() {
    av_frame_free(&held_);
    sws_freeContext(sws_);
}

bool PictureOutput::Allocate(int width, int height) {
    if (width == width_ && height == height_ && !buffer_.empty()) return true;
    int cw = (width + 1) / 2;
    int ch = (height + 1) / 2;
    int yStride = (width + 31) & ~31;
    int uvStride = (cw + 31) & ~31;
    size_t ySize = size_t(yStride) * size_t(height);
    size_t cSize = size_t(uvStride) * size_t(ch);
    buffer_.assign(ySize + 2 * cSize, 0);
    width_ = width;
    height_ = height;
    yStride_ = yStride;
    uvStride_ = uvStride;
    planes_[0] = buffer_.data();
    planes_[1] = planes_[0] + ySize;
    planes_[2] = planes_[1] + cSize;
    return true;
}

bool PictureOutput::Take(const AVFrame* frame, DecodedPicture* out) {
    if (!frame || !out) return false;
    int w = frame->width;
    int h = frame->height;
    if (w <= 0 || h <= 0 || w > kMaxDimension || h > kMaxDimension) return false;
    // Planar 4:2:0 is handed out as the decoder made it, held until the next picture: copying every
    // picture cost about a sixth of a stream's CPU. Callers treat the planes as read-only.
    if (IsPlanar420(frame->format) && frame->linesize[1] == frame->linesize[2] && frame->linesize[0] > 0 &&
        frame->linesize[1] > 0) {
        if (!held_) held_ = av_frame_alloc();
        if (held_) {
            av_frame_unref(held_);
            if (av_frame_ref(held_, frame) == 0) {
                out->y = held_->data[0];
                out->u = held_->data[1];
                out->v = held_->data[2];
                out->width = w;
                out->height = h;
                out->yStride = held_->linesize[0];
                out->uvStride = held_->linesize[1];
                return true;
            }
        }
    }
    if (!Allocate(w, h)) return false;
    if (IsPlanar420(frame->format)) {
        int cw = (w + 1) / 2;
        int ch = (h + 1) / 2;
        for (int r = 0; r < h; ++r)
            std::memcpy(planes_[0] + size_t(r) * yStride_, frame->data[0] + size_t(r) * frame->linesize[0],
                        w);
        for (int p = 1; p < 3; ++p)
            for (int r = 0; r < ch; ++r)
                std::memcpy(planes_[p] + size_t(r) * uvStride_,
                            frame->data[p] + size_t(r) * frame->linesize[p], cw);
    } else {
        sws_ = sws_getCachedContext(sws_, w, h, ScalerSource(frame->format), w, h, AV_PIX_FMT_YUV420P,
                                    SWS_BILINEAR, nullptr, nullptr, nullptr);
        if (!sws_) return false;
        int dstStride[4] = {yStride_, uvStride_, uvStride_, 0};
        uint8_t* dst[4] = {planes_[0], planes_[1], planes_[2], nullptr};
        if (sws_scale(sws_, frame->data, frame->linesize, 0, h, dst, dstStride) != h) return false;
    }
    out->y = planes_[0];
    out->u = planes_[1];
    out->v = planes_[2];
    out->width = w;
    out->height = h;
    out->yStride = yStride_;
    out->uvStride = uvStride_;
    return true;
}

}  // namespace kavro
