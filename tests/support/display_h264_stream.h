#pragma once
#include <cstdint>
#include <vector>

namespace kavro {
namespace test {

// An H.264 stream made at test time: one Annex B access unit per picture, and the luma planes
// that went in (stride = width).
struct Stream {
    int width = 0, height = 0;
    std::vector<std::vector<uint8_t>> units;
    std::vector<std::vector<uint8_t>> luma;
    std::vector<uint8_t> All() const;
};

// Smooth gradients moving from picture to picture, plus noise of `noise` levels (noise makes
// large pictures); key pictures every `gop`, each with its parameter sets. Empty when
// libavcodec has no H.264 encoder.
Stream Encode(int width, int height, int frames, int gop, int qp, int noise);

}  // namespace test
}  // namespace kavro
