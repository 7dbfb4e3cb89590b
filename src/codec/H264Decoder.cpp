#include "codec/H264Decoder.h"

#include <climits>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <vector>

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

// Bytes the parser may hold without finding a frame boundary before its buffer is dropped, so a
// stream of garbage cannot make it grow without bound.
constexpr size_t kMaxPendingBytes = 8u << 20;
// Pictures kept when the decoder had output ready before it took the next packet.
constexpr size_t kMaxQueuedFrames = 16;
// Input is copied into the padded buffer in slices of at most this size.
constexpr size_t kFeedSlice = 1u << 20;

}  // namespace

class H264Decoder {
public:
    ~H264Decoder() {
        for (AVFrame* f : queued_) av_frame_free(&f);
        av_frame_free(&frame_);
        av_packet_free(&packet_);
        if (parser_) av_parser_close(parser_);
        avcodec_free_context(&ctx_);
    }

    bool Open() {
        const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
        if (!codec) return false;
        ctx_ = avcodec_alloc_context3(codec);
        if (!ctx_) return false;
        ctx_->thread_count = 1;
        ctx_->flags |= AV_CODEC_FLAG_LOW_DELAY;
        if (avcodec_open2(ctx_, codec, nullptr) < 0) return false;
        parser_ = av_parser_init(AV_CODEC_ID_H264);
        packet_ = av_packet_alloc();
        frame_ = av_frame_alloc();
        return parser_ && packet_ && frame_;
    }

    int32_t Frame(const uint8_t* data, uint32_t length, DecodedPicture* out, bool endOfPicture) {
        if (!out) return kH264DecEnd;
        if (data && length > 0) {
            Feed(data, length);
            // The parser only knows a picture is complete when the next one starts; an access
            // unit delimiter tells it now, so the picture leaves without waiting a frame interval.
            static const uint8_t kDelimiter[] = {0, 0, 0, 1, 9, 0xF0};
            if (endOfPicture) Feed(kDelimiter, 6);
        }
        if (broken_) return kH264DecRecreate;

        if (!queued_.empty()) {
            AVFrame* f = queued_.front();
            queued_.pop_front();
            bool ok = picture_.Take(f, out);
            av_frame_free(&f);
            return ok ? kH264DecPicture : kH264DecAskAgain;
        }
        int ret = avcodec_receive_frame(ctx_, frame_);
        if (ret == 0) {
            bool ok = picture_.Take(frame_, out);
            av_frame_unref(frame_);
            return ok ? kH264DecPicture : kH264DecAskAgain;
        }
        if (ret == AVERROR(ENOMEM)) return kH264DecRecreate;
        return kH264DecNeedInput;
    }

private:
    // The parser reads up to AV_INPUT_BUFFER_PADDING_SIZE bytes past what it is given, so the
    // caller's bytes go through a zero-padded copy, one bounded slice at a time.
    void Feed(const uint8_t* data, uint32_t length) {
        size_t left = length;
        while (left > 0 && !broken_) {
            size_t slice = left < kFeedSlice ? left : kFeedSlice;
            if (!FeedSlice(data, slice)) return;
            data += slice;
            left -= slice;
        }
    }

    // false when the rest of the input is to be dropped.
    bool FeedSlice(const uint8_t* source, size_t length) {
        try {
            padded_.assign(source, source + length);
            padded_.resize(length + AV_INPUT_BUFFER_PADDING_SIZE, 0);
        } catch (const std::bad_alloc&) {
            broken_ = true;
            return false;
        }
        const uint8_t* data = padded_.data();
        size_t left = length;
        while (left > 0 && !broken_) {
            int chunk = static_cast<int>(left);
            uint8_t* pktData = nullptr;
            int pktSize = 0;
            int used = av_parser_parse2(parser_, ctx_, &pktData, &pktSize, data, chunk, AV_NOPTS_VALUE,
                                        AV_NOPTS_VALUE, 0);
            if (used < 0 || used > chunk) {
                ResetParser();
                return false;
            }
            data += used;
            left -= size_t(used);
            pending_ += size_t(used);
            if (pktSize > 0) {
                pending_ = 0;
                Send(pktData, pktSize);
            } else if (pending_ > kMaxPendingBytes) {
                ResetParser();
            }
            if (used == 0 && pktSize == 0) return false;  // parser made no progress; drop the rest
        }
        return true;
    }

    void Send(uint8_t* data, int size) {
        packet_->data = data;
        packet_->size = size;
        // The decoder refuses input while it holds output or an undecoded packet: take its output
        // (keeping the pictures) until it accepts. Each round decodes one held packet, so a few suffice.
        for (int attempt = 0; attempt < 8; ++attempt) {
            int ret = avcodec_send_packet(ctx_, packet_);
            if (ret != AVERROR(EAGAIN)) {
                // Damaged data is dropped here; the decoder resynchronises on later slices.
                if (ret == AVERROR(ENOMEM)) broken_ = true;
                break;
            }
            if (!QueueOutput()) break;
        }
        packet_->data = nullptr;
        packet_->size = 0;
    }

    // Moves one picture of the decoder into the queue. False only on a failure that ends the attempt.
    bool QueueOutput() {
        AVFrame* f = av_frame_alloc();
        if (!f) {
            broken_ = true;
            return false;
        }
        int ret = avcodec_receive_frame(ctx_, f);
        if (ret != 0) {
            av_frame_free(&f);
            // EAGAIN: a held packet was decoded without a picture, so the decoder has room again.
            return ret == AVERROR(EAGAIN);
        }
        if (queued_.size() >= kMaxQueuedFrames) {
            AVFrame* old = queued_.front();
            queued_.pop_front();
            av_frame_free(&old);
        }
        queued_.push_back(f);
        return true;
    }

    void ResetParser() {
        av_parser_close(parser_);
        parser_ = av_parser_init(AV_CODEC_ID_H264);
        pending_ = 0;
        if (!parser_) broken_ = true;
    }

    AVCodecContext* ctx_ = nullptr;
    AVCodecParserContext* parser_ = nullptr;
    AVPacket* packet_ = nullptr;
    AVFrame* frame_ = nullptr;
    std::deque<AVFrame*> queued_;
    std::vector<uint8_t> padded_;
    PictureOutput picture_;
    size_t pending_ = 0;
    bool broken_ = false;
};

H264DecCreateRecord MakeH264DecCreateRecord(int32_t videoWidth, int32_t videoHeight, int32_t streamBitRate) {
    H264DecCreateRecord r{};
    r.widthMb = static_cast<uint32_t>(videoWidth / 16 + 1);
    r.heightMb = static_cast<uint32_t>(videoHeight / 16 + 1);
    int32_t b = streamBitRate;
    if (b <= 32)
        r.frameCount = 16;
    else if (b <= 128)
        r.frameCount = 8;
    else if (b <= 255)
        r.frameCount = 2;
    else if (b <= 1024)
        r.frameCount = 4;
    else
        r.frameCount = 2;
    return r;
}

H264Decoder* Hi264DecCreate(const H264DecCreateRecord* record) {
    // The record's size is only a hint: streams larger than announced still decode.
    if (!record) return nullptr;
    std::lock_guard<std::mutex> lock(CreationLock());
    auto* d = new (std::nothrow) H264Decoder();
    if (!d) return nullptr;
    if (!d->Open()) {
        delete d;
        return nullptr;
    }
    return d;
}

int32_t Hi264DecFrame(H264Decoder* handle, const uint8_t* data, uint32_t length, uint64_t /*reserved*/,
                      DecodedPicture* out, uint32_t flags) {
    if (!handle) return kH264DecRecreate;
    return handle->Frame(data, length, out, (flags & kH264DecEndOfPicture) != 0);
}

void Hi264DecDestroy(H264Decoder* handle) {
    if (!handle) return;
    std::lock_guard<std::mutex> lock(CreationLock());
    delete handle;
}

}  // namespace kavro
