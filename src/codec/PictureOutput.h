#pragma once
#include <cstdint>
#include <vector>

#include "codec/DecodedPicture.h"

struct AVFrame;
struct SwsContext;

namespace kavro {

// Holds the planes handed out in a DecodedPicture until the next one: planar 4:2:0 frames are passed
// on as decoded (the decoder may still predict from them, so callers must not write into them); other
// layouts are converted into buffers of this object.
class PictureOutput {
public:
    PictureOutput() = default;
    ~PictureOutput();
    PictureOutput(const PictureOutput&) = delete;
    PictureOutput& operator=(const PictureOutput&) = delete;

    // Fills `out` from `frame`. Returns false when the frame's layout cannot be converted.
    bool Take(const AVFrame* frame, DecodedPicture* out);

private:
    bool Allocate(int width, int height);

    std::vector<uint8_t> buffer_;
    int width_ = 0;
    int height_ = 0;
    int yStride_ = 0;
    int uvStride_ = 0;
    uint8_t* planes_[3] = {nullptr, nullptr, nullptr};
    SwsContext* sws_ = nullptr;
    AVFrame* held_ = nullptr;
};

}  // namespace kavro
