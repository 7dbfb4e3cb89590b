#include "codec/JpegTables.h"

#include <cstring>

namespace kavro {

namespace {

class Out {
public:
    Out(uint8_t* p, size_t cap) : p_(p), cap_(cap) {}
    void Byte(uint8_t b) {
        if (n_ < cap_) p_[n_] = b;
        ++n_;
    }
    void Word(uint16_t w) {
        Byte(static_cast<uint8_t>(w >> 8));
        Byte(static_cast<uint8_t>(w));
    }
    void Bytes(const uint8_t* b, size_t len) {
        for (size_t i = 0; i < len; ++i) Byte(b[i]);
    }
    size_t Length() const { return n_ <= cap_ ? n_ : 0; }

private:
    uint8_t* p_;
    size_t cap_;
    size_t n_ = 0;
};

void Huffman(Out& o, const uint8_t* codelens, const uint8_t* symbols, size_t nsymbols, uint8_t tableNo,
             uint8_t tableClass) {
    o.Word(0xFFC4);
    o.Word(static_cast<uint16_t>(3 + 16 + nsymbols));
    o.Byte(static_cast<uint8_t>((tableClass << 4) | tableNo));
    o.Bytes(codelens, 16);
    o.Bytes(symbols, nsymbols);
}

}  // namespace

void MakeRtpJpegQuantTables(int q, uint8_t out[128]) {
    if (q < 1) q = 1;
    if (q > 99) q = 99;
    int factor = q < 50 ? 5000 / q : 200 - q * 2;
    for (int i = 0; i < 64; ++i) {
        int lq = (kJpegLumaQuant[kJpegZigzag[i]] * factor + 50) / 100;
        int cq = (kJpegChromaQuant[kJpegZigzag[i]] * factor + 50) / 100;
        out[i] = static_cast<uint8_t>(lq < 1 ? 1 : (lq > 255 ? 255 : lq));
        out[64 + i] = static_cast<uint8_t>(cq < 1 ? 1 : (cq > 255 ? 255 : cq));
    }
}

size_t WriteJpegHeaders(uint8_t* out, size_t cap, int type, int widthPx, int heightPx, const uint8_t* qTables,
                        uint16_t restartInterval) {
    Out o(out, cap);
    o.Word(0xFFD8);
    for (int t = 0; t < 2; ++t) {
        o.Word(0xFFDB);
        o.Word(67);
        o.Byte(static_cast<uint8_t>(t));
        o.Bytes(qTables + 64 * t, 64);
    }
    if (restartInterval) {
        o.Word(0xFFDD);
        o.Word(4);
        o.Word(restartInterval);
    }
    o.Word(0xFFC0);
    o.Word(17);
    o.Byte(8);
    o.Word(static_cast<uint16_t>(heightPx));
    o.Word(static_cast<uint16_t>(widthPx));
    o.Byte(3);
    o.Byte(1);
    o.Byte((type & 0x3F) == 0 ? 0x21 : 0x22);  // 4:2:2 or 4:2:0 luma sampling
    o.Byte(0);
    o.Byte(2);
    o.Byte(0x11);
    o.Byte(1);
    o.Byte(3);
    o.Byte(0x11);
    o.Byte(1);
    Huffman(o, kJpegDcLumaBits, kJpegDcValues, sizeof kJpegDcValues, 0, 0);
    Huffman(o, kJpegAcLumaBits, kJpegAcLumaValues, sizeof kJpegAcLumaValues, 0, 1);
    Huffman(o, kJpegDcChromaBits, kJpegDcValues, sizeof kJpegDcValues, 1, 0);
    Huffman(o, kJpegAcChromaBits, kJpegAcChromaValues, sizeof kJpegAcChromaValues, 1, 1);
    o.Word(0xFFDA);
    o.Word(12);
    o.Byte(3);
    o.Byte(1);
    o.Byte(0x00);
    o.Byte(2);
    o.Byte(0x11);
    o.Byte(3);
    o.Byte(0x11);
    o.Byte(0);
    o.Byte(63);
    o.Byte(0);
    return o.Length();
}

}  // namespace kavro
