// The RTSP connection of the TCP transport: interleaved frames, stray replies and garbage, handed
// out in receives of varying size.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "FuzzSupport.h"
#include "source/InterleavedReader.h"

using namespace kavro;

namespace {

class InputSource : public ByteSource {
public:
    InputSource(const uint8_t* data, size_t size, uint8_t step) : data_(data), size_(size), step_(step) {}
    int Receive(void* buffer, size_t capacity) override {
        if (pos_ >= size_) return 0;  // closed
        size_t n = 1 + (static_cast<size_t>(step_) * ++calls_) % 1460;
        n = std::min({n, capacity, size_ - pos_});
        memcpy(buffer, data_ + pos_, n);
        pos_ += n;
        return static_cast<int>(n);
    }

private:
    const uint8_t* data_;
    size_t size_;
    uint8_t step_;
    size_t pos_ = 0;
    size_t calls_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    const size_t capacity = in.Byte() & 1 ? 2048 : 1 + in.Byte() * 8u;
    const uint8_t step = in.Byte();
    const uint8_t* preload;
    size_t preloadLength;
    if (!in.Piece(&preload, &preloadLength)) return 0;

    InputSource source(in.Rest(), in.RestSize(), step);
    InterleavedReader reader(source);
    if (reader.Preload(preload, preloadLength) > preloadLength) abort();
    // Exactly sized, so that a frame copied past the capacity is caught.
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[capacity]);
    const size_t limit = size + 2;  // every call consumes at least one byte or ends
    for (size_t i = 0;; ++i) {
        if (i > limit) abort();
        size_t length = 0;
        const int channel = reader.Read(buffer.get(), capacity, &length);
        if (channel == InterleavedReader::kLost) break;
        if (channel == InterleavedReader::kOutside) continue;
        if (channel < 0 || static_cast<size_t>(channel) > InterleavedReader::kMaxChannel) abort();
        if (length == 0 || length > capacity) abort();
    }
    return 0;
}
