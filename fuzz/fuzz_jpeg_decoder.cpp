// Frames for the JPEG decoder: whole JPEG images or bare RTP/JPEG scan data.
#include <cstdlib>
#include <cstring>
#include <memory>

#include "FuzzSupport.h"
#include "codec/MjpegDecoder.h"

using namespace kavro;

namespace {

void TouchPicture(const DecodedPicture& p) {
    if (p.width <= 0 || p.height <= 0 || p.yStride < p.width || p.uvStride < (p.width + 1) / 2) abort();
    if (!p.y || !p.u || !p.v) abort();
    volatile unsigned sum = 0;
    for (int r = 0; r < p.height; ++r) {
        for (int c = 0; c < p.width; ++c) sum = sum + p.y[r * p.yStride + c];
        p.y[r * p.yStride] = 0;
    }
    for (int r = 0; r < (p.height + 1) / 2; ++r) {
        for (int c = 0; c < (p.width + 1) / 2; ++c)
            sum = sum + p.u[r * p.uvStride + c] + p.v[r * p.uvStride + c];
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    // Small pictures keep the runs fast; 0 and odd sizes included.
    const int width = in.Byte() % 41 * 8 + (in.Byte() & 7);
    const int height = in.Byte() % 31 * 8 + (in.Byte() & 7);
    const MjpegDecCreateRecord record = MakeMjpegDecCreateRecord(width, height);
    MjpegDecoder* dec = HiMJPEGDecCreate(&record);
    if (dec == nullptr) return 0;
    const uint8_t* piece;
    size_t length;
    while (in.Piece(&piece, &length)) {
        std::unique_ptr<uint8_t[]> frame(new uint8_t[length ? length : 1]);
        memcpy(frame.get(), piece, length);
        DecodedPicture pic;
        int32_t r = HiMJPEGDecFrame(dec, frame.get(), static_cast<uint32_t>(length), 0, &pic, 0);
        if (r == kMjpegDecPicture)
            TouchPicture(pic);
        else if (r != kMjpegDecDropped)
            abort();
    }
    HiMJPEGDecDestroy(dec);
    return 0;
}
