#include "source/InterleavedReader.h"

#include <cstring>

namespace kavro {

size_t InterleavedReader::Preload(const void* data, size_t length) {
    if (begin_ > 0) {
        std::memmove(input_, input_ + begin_, Buffered());
        end_ -= begin_;
        begin_ = 0;
    }
    size_t n = length < kInputSize - end_ ? length : kInputSize - end_;
    std::memcpy(input_ + end_, data, n);
    end_ += n;
    return n;
}

bool InterleavedReader::Need(size_t n) {
    while (Buffered() < n) {
        if (end_ == kInputSize) {
            std::memmove(input_, input_ + begin_, Buffered());
            end_ -= begin_;
            begin_ = 0;
        }
        int r = source_.Receive(input_ + end_, kInputSize - end_);
        if (r <= 0) return false;
        end_ += static_cast<size_t>(r) < kInputSize - end_ ? static_cast<size_t>(r) : kInputSize - end_;
    }
    return true;
}

void InterleavedReader::Take(uint8_t* out, size_t n) {
    if (out) std::memcpy(out, input_ + begin_, n);
    begin_ += n;
    if (begin_ == end_) begin_ = end_ = 0;
}

int InterleavedReader::Read(uint8_t* buffer, size_t capacity, size_t* length) {
    *length = 0;
    if (!Need(1)) return kLost;
    if (input_[begin_] != '$') {
        // Not a frame start: the stray byte, then whatever one more receive brings when nothing
        // else is buffered, up to the next '$' (kept, so the frame after an RTSP reply survives).
        if (Buffered() == 1 && !Need(2)) return kLost;
        size_t n = 1;
        while (n < Buffered() && n < kSwallowMax && input_[begin_ + n] != '$') ++n;
        Take(nullptr, n);
        *length = n;
        return kOutside;
    }
    if (!Need(2)) return kLost;
    const uint8_t channel = input_[begin_ + 1];
    if (channel > kMaxChannel) return kLost;
    if (!Need(4)) return kLost;
    const size_t frameLength = (static_cast<size_t>(input_[begin_ + 2]) << 8) | input_[begin_ + 3];
    if (frameLength == 0 || frameLength >= 0x8000) return kLost;
    Take(nullptr, 4);

    // Read the whole frame even when it is dropped, so the connection stays in step.
    const bool keep = frameLength <= capacity && buffer != nullptr;
    size_t done = 0;
    while (done < frameLength) {
        if (Buffered() == 0 && !Need(1)) return kLost;
        size_t part = frameLength - done < Buffered() ? frameLength - done : Buffered();
        Take(keep ? buffer + done : nullptr, part);
        done += part;
    }
    *length = frameLength;
    return keep ? channel : kOutside;
}

}  // namespace kavro
