#include "codec/MjpegDecoder.h"

#include <algorithm>
#include <cstdint>
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

// Quantization tables of the JPEG standard (luminance and chrominance, natural order).
const uint8_t kLumaQuant[64] = {16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19, 26,  58,  60,  55,
                                14, 13, 16, 24, 40,  57,  69,  56,  14, 17, 22, 29, 51,  87,  80,  62,
                                18, 22, 37, 56, 68,  109, 103, 77,  24, 35, 55, 64, 81,  104, 113, 92,
                                49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99};
const uint8_t kChromaQuant[64] = {17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99,
                                  24, 26, 56, 99, 99, 99, 99, 99, 47, 66, 99, 99, 99, 99, 99, 99,
                                  99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
                                  99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99};
const uint8_t kZigzag[64] = {0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,
                             12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,
                             35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
                             58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

// Huffman tables of the JPEG standard: 16 code-length counts, then the symbols.
constexpr uint8_t kDcLumaBits[16] = {0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0};
constexpr uint8_t kDcChromaBits[16] = {0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0};
const uint8_t kDcValues[12] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
constexpr uint8_t kAcLumaBits[16] = {0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7d};
const uint8_t kAcLumaValues[162] = {
    0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51, 0x61, 0x07, 0x22,
    0x71, 0x14, 0x32, 0x81, 0x91, 0xa1, 0x08, 0x23, 0x42, 0xb1, 0xc1, 0x15, 0x52, 0xd1, 0xf0, 0x24, 0x33,
    0x62, 0x72, 0x82, 0x09, 0x0a, 0x16, 0x17, 0x18, 0x19, 0x1a, 0x25, 0x26, 0x27, 0x28, 0x29, 0x2a, 0x34,
    0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55,
    0x56, 0x57, 0x58, 0x59, 0x5a, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76,
    0x77, 0x78, 0x79, 0x7a, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96,
    0x97, 0x98, 0x99, 0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5,
    0xb6, 0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3, 0xd4,
    0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe1, 0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8, 0xe9, 0xea, 0xf1,
    0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa};
constexpr uint8_t kAcChromaBits[16] = {0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 0x77};
const uint8_t kAcChromaValues[162] = {
    0x00, 0x01, 0x02, 0x03, 0x11, 0x04, 0x05, 0x21, 0x31, 0x06, 0x12, 0x41, 0x51, 0x07, 0x61, 0x71, 0x13,
    0x22, 0x32, 0x81, 0x08, 0x14, 0x42, 0x91, 0xa1, 0xb1, 0xc1, 0x09, 0x23, 0x33, 0x52, 0xf0, 0x15, 0x62,
    0x72, 0xd1, 0x0a, 0x16, 0x24, 0x34, 0xe1, 0x25, 0xf1, 0x17, 0x18, 0x19, 0x1a, 0x26, 0x27, 0x28, 0x29,
    0x2a, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54,
    0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75,
    0x76, 0x77, 0x78, 0x79, 0x7a, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94,
    0x95, 0x96, 0x97, 0x98, 0x99, 0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3,
    0xb4, 0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2,
    0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8, 0xe9, 0xea,
    0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa};

constexpr size_t CodeCount(const uint8_t (&bits)[16]) {
    size_t n = 0;
    for (uint8_t b : bits) n += b;
    return n;
}
static_assert(CodeCount(kDcLumaBits) == 12 && CodeCount(kDcChromaBits) == 12, "DC tables");
static_assert(CodeCount(kAcLumaBits) == 162 && CodeCount(kAcChromaBits) == 162, "AC tables");

void Put16(std::vector<uint8_t>& v, unsigned x) {
    v.push_back(static_cast<uint8_t>(x >> 8));
    v.push_back(static_cast<uint8_t>(x & 0xFF));
}

void PutHuffman(std::vector<uint8_t>& v, uint8_t classAndId, const uint8_t* bits, const uint8_t* values,
                size_t count) {
    v.push_back(classAndId);
    v.insert(v.end(), bits, bits + 16);
    v.insert(v.end(), values, values + count);
}

// Headers of a baseline 4:2:0 image of the given size with the standard tables, up to the scan.
std::vector<uint8_t> BuildScanHeaders(unsigned width, unsigned height) {
    std::vector<uint8_t> h;
    h.reserve(700);
    h.insert(h.end(), {0xFF, 0xD8});
    // DQT: both tables in one segment.
    h.insert(h.end(), {0xFF, 0xDB});
    Put16(h, 2 + 2 * 65);
    h.push_back(0x00);
    for (int i = 0; i < 64; ++i) h.push_back(kLumaQuant[kZigzag[i]]);
    h.push_back(0x01);
    for (int i = 0; i < 64; ++i) h.push_back(kChromaQuant[kZigzag[i]]);
    // SOF0: 8-bit, three components, luma sampled 2x2.
    h.insert(h.end(), {0xFF, 0xC0});
    Put16(h, 17);
    h.push_back(8);
    Put16(h, height);
    Put16(h, width);
    h.insert(h.end(), {3, 1, 0x22, 0, 2, 0x11, 1, 3, 0x11, 1});
    // DHT: four tables in one segment.
    h.insert(h.end(), {0xFF, 0xC4});
    Put16(h, 2 + 4 * 17 + 12 + 12 + 162 + 162);
    PutHuffman(h, 0x00, kDcLumaBits, kDcValues, 12);
    PutHuffman(h, 0x10, kAcLumaBits, kAcLumaValues, 162);
    PutHuffman(h, 0x01, kDcChromaBits, kDcValues, 12);
    PutHuffman(h, 0x11, kAcChromaBits, kAcChromaValues, 162);
    // SOS
    h.insert(h.end(), {0xFF, 0xDA});
    Put16(h, 12);
    h.insert(h.end(), {3, 1, 0x00, 2, 0x11, 3, 0x11, 0, 63, 0});
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
