#include "codec/MjpegDecoder.h"

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <new>
#include <vector>

#include "codec/JpegTables.h"
#include "codec/PictureOutput.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
}

namespace kavro {
namespace {

std::mutex& CreationLock() {
    static std::mutex m;
    return m;
}

// Headers of a baseline 4:2:0 image of the given size with the standard tables, up to the scan.
std::vector<uint8_t> BuildScanHeaders(unsigned width, unsigned height) {
    uint8_t tables[128];
    MakeRtpJpegQuantTables(50, tables);  // quality 50 is the standard tables unscaled
    std::vector<uint8_t> h(1024);
    size_t n =
        WriteJpegHeaders(h.data(), h.size(), 1, static_cast<int>(width), static_cast<int>(height), tables, 0);
    h.resize(n);
    return h;
}

}  // namespace

class MjpegDecoder {
public:
    ~MjpegDecoder() {
        av_frame_free(&frame_);
        av_packet_free(&packet_);
        avcodec_free_context(&ctx_);
    }

    bool Open(const MjpegDecCreateRecord& record) {
        width_ = record.width;
        height_ = record.height;
        const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MJPEG);
        if (!codec) return false;
        ctx_ = avcodec_alloc_context3(codec);
        if (!ctx_) return false;
        ctx_->thread_count = 1;
        ctx_->flags |= AV_CODEC_FLAG_LOW_DELAY;
        if (avcodec_open2(ctx_, codec, nullptr) < 0) return false;
        packet_ = av_packet_alloc();
        frame_ = av_frame_alloc();
        return packet_ && frame_;
    }

    int32_t Frame(const uint8_t* data, uint32_t length, DecodedPicture* out) {
        if (!data || length == 0 || !out) return kMjpegDecDropped;
        const uint8_t* image = data;
        size_t size = length;
        if (!(length >= 2 && data[0] == 0xFF && data[1] == 0xD8)) {
            if (!BuildImage(data, length)) return kMjpegDecDropped;
            image = assembled_.data();
            size = assembled_.size();
        }
        if (size > size_t(INT32_MAX) - AV_INPUT_BUFFER_PADDING_SIZE) return kMjpegDecDropped;
        // Copied into a padded, owned buffer: the decoder may read a little past the end.
        if (av_new_packet(packet_, static_cast<int>(size)) < 0) return kMjpegDecDropped;
        std::copy(image, image + size, packet_->data);
        int ret = avcodec_send_packet(ctx_, packet_);
        if (ret == AVERROR(EAGAIN)) {
            // A picture of an earlier frame was left behind: discard it and retry.
            if (avcodec_receive_frame(ctx_, frame_) == 0) av_frame_unref(frame_);
            ret = avcodec_send_packet(ctx_, packet_);
        }
        av_packet_unref(packet_);
        if (ret < 0) return kMjpegDecDropped;
        if (avcodec_receive_frame(ctx_, frame_) != 0) return kMjpegDecDropped;
        bool ok = picture_.Take(frame_, out);
        av_frame_unref(frame_);
        return ok ? kMjpegDecPicture : kMjpegDecDropped;
    }

private:
    // Scan data alone carries no size: the creation record gives it.
    bool BuildImage(const uint8_t* scan, size_t length) {
        if (width_ == 0 || height_ == 0 || width_ > 65535 || height_ > 65535) return false;
        if (headers_.empty()) headers_ = BuildScanHeaders(width_, height_);
        assembled_.clear();
        assembled_.reserve(headers_.size() + length + 2);
        assembled_.insert(assembled_.end(), headers_.begin(), headers_.end());
        assembled_.insert(assembled_.end(), scan, scan + length);
        bool hasEnd = length >= 2 && scan[length - 2] == 0xFF && scan[length - 1] == 0xD9;
        if (!hasEnd) assembled_.insert(assembled_.end(), {0xFF, 0xD9});
        return true;
    }

    AVCodecContext* ctx_ = nullptr;
    AVPacket* packet_ = nullptr;
    AVFrame* frame_ = nullptr;
    PictureOutput picture_;
    uint32_t width_ = 0;
    uint32_t height_ = 0;
    std::vector<uint8_t> headers_;
    std::vector<uint8_t> assembled_;
};

MjpegDecCreateRecord MakeMjpegDecCreateRecord(int32_t videoWidth, int32_t videoHeight) {
    MjpegDecCreateRecord r{};
    r.width = static_cast<uint32_t>(videoWidth);
    r.height = static_cast<uint32_t>(videoHeight);
    return r;
}

MjpegDecoder* HiMJPEGDecCreate(const MjpegDecCreateRecord* record) {
    if (!record) return nullptr;
    std::lock_guard<std::mutex> lock(CreationLock());
    auto* d = new (std::nothrow) MjpegDecoder();
    if (!d) return nullptr;
    if (!d->Open(*record)) {
        delete d;
        return nullptr;
    }
    return d;
}

int32_t HiMJPEGDecFrame(MjpegDecoder* handle, const uint8_t* data, uint32_t length, uint64_t /*reserved*/,
                        DecodedPicture* out, uint32_t /*flags*/) {
    if (!handle) return kMjpegDecDropped;
    return handle->Frame(data, length, out);
}

void HiMJPEGDecDestroy(MjpegDecoder* handle) {
    if (!handle) return;
    std::lock_guard<std::mutex> lock(CreationLock());
    delete handle;
}

}  // namespace kavro
