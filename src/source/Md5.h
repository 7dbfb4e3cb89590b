#pragma once
#include <cstddef>
#include <cstdint>

namespace kavro {

// MD5 message digest (RFC 1321), fed incrementally.
class Md5 {
public:
    Md5() { Init(); }
    void Init();
    void Update(const void* data, size_t length);
    void Final(uint8_t digest[16]);

private:
    void Transform(const uint8_t block[64]);

    uint32_t state_[4];
    uint64_t bitCount_;
    uint8_t buffer_[64];
};

// Lower-case hex of a 16-byte digest: 32 characters and a terminating zero.
void Md5ToHex(const uint8_t digest[16], char out[33]);

}  // namespace kavro
