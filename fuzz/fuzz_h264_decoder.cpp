// An Annex B byte stream fed to the H.264 decoder in pieces of any size.
#include <cstdlib>
#include <cstring>
#include <memory>

#include "FuzzSupport.h"
#include "codec/H264Decoder.h"

using namespace kavro;

namespace {

// Touches every byte of the picture, so that planes smaller than announced are caught.
void TouchPicture(const DecodedPicture& p) {
    if (p.width <= 0 || p.height <= 0 || p.yStride < p.width || p.uvStride < (p.width + 1) / 2) abort();
    if (!p.y || !p.u || !p.v) abort();
    volatile unsigned sum = 0;
    for (int r = 0; r < p.height; ++r) {
        for (int c = 0; c < p.width; ++c) sum = sum + p.y[r * p.yStride + c];
        p.y[r * p.yStride] = 0;  // callers may rewrite planes in place
    }
    for (int r = 0; r < (p.height + 1) / 2; ++r) {
        for (int c = 0; c < (p.width + 1) / 2; ++c)
            sum = sum + p.u[r * p.uvStride + c] + p.v[r * p.uvStride + c];
    }
}

bool Drain(H264Decoder* dec) {
    for (int i = 0; i < 64; ++i) {
        DecodedPicture pic;
        int32_t r = Hi264DecFrame(dec, nullptr, 0, 0, &pic, 0);
        if (r == kH264DecPicture)
            TouchPicture(pic);
        else if (r == kH264DecRecreate)
            return false;
        else if (r != kH264DecAskAgain)
            return true;
    }
    abort();  // repeated calls without input must end
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    const int width = in.Byte() % 64 * 16;
    const int height = in.Byte() % 48 * 16;
    const H264DecCreateRecord record =
        MakeH264DecCreateRecord(width, height, static_cast<int32_t>(in.Word()) * 100);
    H264Decoder* dec = Hi264DecCreate(&record);
    if (dec == nullptr) return 0;
    const uint8_t* piece;
    size_t length;
    while (in.Piece(&piece, &length)) {
        std::unique_ptr<uint8_t[]> bytes(new uint8_t[length ? length : 1]);
        memcpy(bytes.get(), piece, length);
        DecodedPicture pic;
        int32_t r = Hi264DecFrame(dec, bytes.get(), static_cast<uint32_t>(length), 0, &pic, 0);
        if (r == kH264DecPicture) TouchPicture(pic);
        bool keep = r != kH264DecRecreate && Drain(dec);
        if (!keep) {
            Hi264DecDestroy(dec);
            dec = Hi264DecCreate(&record);
            if (dec == nullptr) return 0;
        }
    }
    Hi264DecDestroy(dec);
    return 0;
}
