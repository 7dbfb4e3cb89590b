#pragma once
#include <cstddef>
#include <cstdint>

namespace kavro {

// Where the interleaved reader takes its bytes from: results as recv (bytes, 0 closed, -1 error
// or time-out).
class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual int Receive(void* buffer, size_t capacity) = 0;
};

// Splits an RTSP connection that carries interleaved RTP ('$', channel, 16-bit big-endian length,
// packet) into its frames. Bytes outside a frame (RTSP replies such as the answer to a keep-alive
// or TEARDOWN, or garbage) are swallowed up to the next '$'.
class InterleavedReader {
public:
    static constexpr int kLost = -1;
    static constexpr int kOutside = 255;         // bytes outside a frame, or a frame too long to keep
    static constexpr size_t kSwallowMax = 1025;  // one stray byte and what one receive may add
    static constexpr size_t kMaxChannel = 3;

    explicit InterleavedReader(ByteSource& source) : source_(source) {}

    // Forgets buffered bytes (new connection).
    void Reset() { begin_ = end_ = 0; }
    // Bytes already taken off the connection (those behind the PLAY reply) that come first.
    // Returns how many were taken (all unless more than the internal buffer holds).
    size_t Preload(const void* data, size_t length);

    // Next frame: its channel (0..3) with the packet copied into buffer and *length set; kOutside
    // when bytes outside a frame were skipped, or a frame longer than capacity was read and dropped
    // (*length = bytes skipped); kLost when the connection failed or the framing is impossible (a
    // channel above 3, a length of 0 or of 32768 and more).
    int Read(uint8_t* buffer, size_t capacity, size_t* length);

private:
    size_t Buffered() const { return end_ - begin_; }
    // Receives until at least n bytes are buffered (n <= kInputSize); false on a failed receive.
    bool Need(size_t n);
    // Moves the next n bytes (n <= Buffered()) into out, or drops them when out is null.
    void Take(uint8_t* out, size_t n);

    static constexpr size_t kInputSize = 4096;
    ByteSource& source_;
    uint8_t input_[kInputSize];
    size_t begin_ = 0;
    size_t end_ = 0;
};

}  // namespace kavro
