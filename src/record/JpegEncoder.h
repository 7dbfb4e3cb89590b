#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "codec/JpegTables.h"

namespace kavro {

// Results of EncodeJpeg. Anything but kJpegOk means nothing usable is in the output area.
enum : int {
    kJpegOk = 0,
    kJpegNoSpace = 1,     // the image would not fit into the output area
    kJpegNoMemory = 2,    // a work plane could not be allocated
    kJpegBadPicture = 3,  // null planes, sizes out of range, strides shorter than a row
};

// Baseline JPEG (quality 50, three components sampled 1x1, one interleaved scan, standard
// Huffman tables) of a planar 4:2:0 picture. Chroma rows are uvStride bytes apart; a
// uvStride below 0 means yStride / 2. Sizes that are not multiples of 8 are padded by
// repeating the last row and column, so the announced size decodes. Never writes past
// out + outCapacity; *outLength is the offset just past the end-of-image marker.
int EncodeJpeg(int32_t yStride, const uint8_t* y, const uint8_t* u, const uint8_t* v, int32_t width,
               int32_t height, uint8_t* out, size_t outCapacity, size_t* outLength, int32_t uvStride = -1);

// Building blocks, exposed for tests.
namespace jpeg {

inline constexpr auto& kZigzag = kJpegZigzag;  // natural index of each zigzag position

// Table scaled to the given quality (50: q' = (q * 50 + 50) / 100, kept within 1..255), in
// zigzag order.
std::array<uint8_t, 64> ScaledQuantTable(const uint8_t natural[64], int quality);
const uint8_t* LumaQuantBase();    // natural order
const uint8_t* ChromaQuantBase();  // natural order

// Integer part, toward zero, of x + 0.5.
int Quantize(float x);

// Number of bits of |value|, 0 for 0.
int Category(int value);

// Bounded, byte-stuffing bit writer (most significant bit first).
class BitWriter {
public:
    BitWriter(uint8_t* out, size_t capacity) : out_(out), capacity_(capacity) {}
    void PutBits(uint32_t bits, int count);
    void PutByte(uint8_t b);  // raw, no stuffing (markers)
    void Flush();             // fill the last byte with 1-bits
    size_t Size() const { return pos_; }
    bool Overflow() const { return overflow_; }

private:
    void Emit(uint8_t b);
    uint8_t* out_;
    size_t capacity_;
    size_t pos_ = 0;
    bool overflow_ = false;
    uint32_t acc_ = 0;
    int accBits_ = 0;
};

struct HuffCode {
    uint16_t code = 0;
    uint8_t length = 0;
};
struct HuffTable {
    HuffCode bySymbol[256];
};
enum TableClass { kLumaTables = 0, kChromaTables = 1 };
const HuffTable& DcTable(TableClass c);
const HuffTable& AcTable(TableClass c);

// Codes one quantized block given in zigzag order; predictor is the component's previous DC.
// When symbols is given, each Huffman symbol written (DC category, then AC symbols) is appended.
void EncodeBlock(BitWriter& w, TableClass c, const int16_t zz[64], int& predictor,
                 std::vector<uint8_t>* symbols = nullptr);

}  // namespace jpeg
}  // namespace kavro
