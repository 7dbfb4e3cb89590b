#include "record/JpegEncoder.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

namespace kavro {
namespace jpeg {

namespace {

const auto& kLumaQuant = kJpegLumaQuant;
const auto& kChromaQuant = kJpegChromaQuant;
const auto& kDcLumaBits = kJpegDcLumaBits;
const auto& kDcChromaBits = kJpegDcChromaBits;
const auto& kDcValues = kJpegDcValues;
const auto& kAcLumaBits = kJpegAcLumaBits;
const auto& kAcLumaValues = kJpegAcLumaValues;
const auto& kAcChromaBits = kJpegAcChromaBits;
const auto& kAcChromaValues = kJpegAcChromaValues;

const float kAanScale[8] = {1.0f, 1.387039845f, 1.306562965f, 1.175875602f,
                            1.0f, 0.785694958f, 0.5411961f,   0.275899379f};

// Canonical codes: consecutive within a length, doubled from one length to the next.
HuffTable BuildHuff(const uint8_t bits[16], const uint8_t* values) {
    HuffTable t;
    uint32_t code = 0;
    int k = 0;
    for (int len = 1; len <= 16; ++len) {
        for (int i = 0; i < bits[len - 1]; ++i, ++k) {
            t.bySymbol[values[k]].code = static_cast<uint16_t>(code++);
            t.bySymbol[values[k]].length = static_cast<uint8_t>(len);
        }
        code <<= 1;
    }
    return t;
}

struct Tables {
    HuffTable dc[2];
    HuffTable ac[2];
    Tables() {
        dc[0] = BuildHuff(kDcLumaBits, kDcValues);
        dc[1] = BuildHuff(kDcChromaBits, kDcValues);
        ac[0] = BuildHuff(kAcLumaBits, kAcLumaValues);
        ac[1] = BuildHuff(kAcChromaBits, kAcChromaValues);
    }
};

const Tables& AllTables() {
    static const Tables t;
    return t;
}

// AAN float forward DCT of one line of 8 values, `step` apart.
void Fdct8(float* d, int step) {
    float tmp0 = d[0] + d[7 * step], tmp7 = d[0] - d[7 * step];
    float tmp1 = d[step] + d[6 * step], tmp6 = d[step] - d[6 * step];
    float tmp2 = d[2 * step] + d[5 * step], tmp5 = d[2 * step] - d[5 * step];
    float tmp3 = d[3 * step] + d[4 * step], tmp4 = d[3 * step] - d[4 * step];

    float tmp10 = tmp0 + tmp3, tmp13 = tmp0 - tmp3;
    float tmp11 = tmp1 + tmp2, tmp12 = tmp1 - tmp2;
    d[0] = tmp10 + tmp11;
    d[4 * step] = tmp10 - tmp11;
    float z1 = (tmp12 + tmp13) * 0.707106781f;
    d[2 * step] = tmp13 + z1;
    d[6 * step] = tmp13 - z1;

    tmp10 = tmp4 + tmp5;
    tmp11 = tmp5 + tmp6;
    tmp12 = tmp6 + tmp7;
    float z5 = (tmp10 - tmp12) * 0.382683433f;
    float z2 = 0.5411961f * tmp10 + z5;
    float z4 = 1.306562965f * tmp12 + z5;
    float z3 = tmp11 * 0.707106781f;
    float z11 = tmp7 + z3, z13 = tmp7 - z3;
    d[5 * step] = z13 + z2;
    d[3 * step] = z13 - z2;
    d[step] = z11 + z4;
    d[7 * step] = z11 - z4;
}

void PutMarkerSegment(BitWriter& w, const uint8_t* bytes, size_t n) {
    for (size_t i = 0; i < n; ++i) w.PutByte(bytes[i]);
}

void PutDht(BitWriter& w, uint8_t classAndId, const uint8_t bits[16], const uint8_t* values, int count) {
    const int len = 2 + 1 + 16 + count;
    w.PutByte(0xFF);
    w.PutByte(0xC4);
    w.PutByte(static_cast<uint8_t>(len >> 8));
    w.PutByte(static_cast<uint8_t>(len & 0xFF));
    w.PutByte(classAndId);
    PutMarkerSegment(w, bits, 16);
    PutMarkerSegment(w, values, static_cast<size_t>(count));
}

void PutDqt(BitWriter& w, uint8_t id, const std::array<uint8_t, 64>& zz) {
    const uint8_t head[] = {0xFF, 0xDB, 0x00, 0x43, id};
    PutMarkerSegment(w, head, sizeof head);
    PutMarkerSegment(w, zz.data(), 64);
}

// Bits written after a category's code: the value's low bits, or those of value - 1 when negative.
void PutValueBits(BitWriter& w, int value, int cat) {
    if (cat == 0) return;
    const int v = value < 0 ? value - 1 : value;
    w.PutBits(static_cast<uint32_t>(v) & ((1u << cat) - 1u), cat);
}

}  // namespace

const uint8_t* LumaQuantBase() { return kLumaQuant; }
const uint8_t* ChromaQuantBase() { return kChromaQuant; }

std::array<uint8_t, 64> ScaledQuantTable(const uint8_t natural[64], int quality) {
    std::array<uint8_t, 64> zz{};
    for (int k = 0; k < 64; ++k) {
        int q = (natural[kZigzag[k]] * quality + 50) / 100;
        q = std::min(255, std::max(1, q));
        zz[k] = static_cast<uint8_t>(q);
    }
    return zz;
}

int Quantize(float x) { return static_cast<int>(x + 0.5f); }

int Category(int value) {
    unsigned a = value < 0 ? 0u - static_cast<unsigned>(value) : static_cast<unsigned>(value);
    int n = 0;
    while (a) {
        ++n;
        a >>= 1;
    }
    return n;
}

void BitWriter::Emit(uint8_t b) {
    if (overflow_ || pos_ >= capacity_) {
        overflow_ = true;
        return;
    }
    out_[pos_++] = b;
}

void BitWriter::PutByte(uint8_t b) { Emit(b); }

void BitWriter::PutBits(uint32_t bits, int count) {
    for (int i = count - 1; i >= 0; --i) {
        acc_ = (acc_ << 1) | ((bits >> i) & 1u);
        if (++accBits_ == 8) {
            const uint8_t b = static_cast<uint8_t>(acc_);
            Emit(b);
            if (b == 0xFF) Emit(0x00);
            acc_ = 0;
            accBits_ = 0;
        }
    }
}

void BitWriter::Flush() {
    if (accBits_ > 0) PutBits(0xFF, 8 - accBits_);
}

const HuffTable& DcTable(TableClass c) { return AllTables().dc[c]; }
const HuffTable& AcTable(TableClass c) { return AllTables().ac[c]; }

void EncodeBlock(BitWriter& w, TableClass c, const int16_t zz[64], int& predictor,
                 std::vector<uint8_t>* symbols) {
    const HuffTable& dc = DcTable(c);
    const HuffTable& ac = AcTable(c);
    auto put = [&](const HuffTable& t, int symbol) {
        w.PutBits(t.bySymbol[symbol].code, t.bySymbol[symbol].length);
        if (symbols) symbols->push_back(static_cast<uint8_t>(symbol));
    };

    // Categories beyond the tables cannot occur with these quantizers; clamp so that a
    // pathological input yields a wrong pixel rather than an undecodable stream.
    const int diff = zz[0] - predictor;
    predictor = zz[0];
    const int dcCat = std::min(Category(diff), 11);
    put(dc, dcCat);
    PutValueBits(w, diff, dcCat);

    int last = 0;
    for (int k = 63; k >= 1; --k) {
        if (zz[k] != 0) {
            last = k;
            break;
        }
    }
    if (last == 0) {
        put(ac, 0x00);
        return;
    }
    int run = 0;
    for (int k = 1; k <= last; ++k) {
        if (zz[k] == 0) {
            if (run == 15) {
                put(ac, 0xF0);
                run = 0;
            } else {
                ++run;
            }
            continue;
        }
        const int cat = std::min(Category(zz[k]), 10);
        put(ac, run * 16 + cat);
        PutValueBits(w, zz[k], cat);
        run = 0;
    }
    if (last != 63) put(ac, 0x00);
}

}  // namespace jpeg

namespace {

using Plane = std::unique_ptr<uint8_t[]>;

// Padded copy of a plane: rows and columns past the picture repeat its last row and column.
// `shift` is 1 for chroma planes, which are sampled at half resolution in both directions.
void FillPlane(uint8_t* dst, int paddedW, int paddedH, const uint8_t* src, int stride, int width, int height,
               int shift) {
    for (int i = 0; i < paddedH; ++i) {
        const int si = std::min(i, height - 1) >> shift;
        const uint8_t* row = src + static_cast<size_t>(si) * static_cast<size_t>(stride);
        uint8_t* d = dst + static_cast<size_t>(i) * static_cast<size_t>(paddedW);
        for (int j = 0; j < paddedW; ++j) d[j] = row[std::min(j, width - 1) >> shift];
    }
}

void Divisors(const std::array<uint8_t, 64>& zz, float out[64]) {
    uint8_t natural[64];
    for (int k = 0; k < 64; ++k) natural[jpeg::kZigzag[k]] = zz[k];
    for (int r = 0; r < 8; ++r)
        for (int c = 0; c < 8; ++c)
            out[r * 8 + c] = static_cast<float>(
                1.0 / (natural[r * 8 + c] * jpeg::kAanScale[r] * jpeg::kAanScale[c] * 8.0));
}

void QuantizeBlock(const uint8_t* plane, int paddedW, int bx, int by, const float divisors[64],
                   int16_t zz[64]) {
    float d[64];
    for (int r = 0; r < 8; ++r) {
        const uint8_t* row = plane + static_cast<size_t>(by * 8 + r) * static_cast<size_t>(paddedW) + bx * 8;
        for (int c = 0; c < 8; ++c) d[r * 8 + c] = static_cast<float>(row[c]) - 128.0f;
    }
    for (int r = 0; r < 8; ++r) jpeg::Fdct8(d + r * 8, 1);
    for (int c = 0; c < 8; ++c) jpeg::Fdct8(d + c, 8);
    for (int k = 0; k < 64; ++k) {
        const int natural = jpeg::kZigzag[k];
        zz[k] = static_cast<int16_t>(jpeg::Quantize(d[natural] * divisors[natural]));
    }
}

}  // namespace

int EncodeJpeg(int32_t yStride, const uint8_t* y, const uint8_t* u, const uint8_t* v, int32_t width,
               int32_t height, uint8_t* out, size_t outCapacity, size_t* outLength, int32_t uvStride) {
    if (outLength) *outLength = 0;
    if (uvStride < 0) uvStride = yStride / 2;
    if (!y || !u || !v || !out || !outLength || width <= 0 || height <= 0 || width > 65535 ||
        height > 65535 || yStride < width || uvStride < (width + 1) / 2)
        return kJpegBadPicture;

    // Headers alone take 623 bytes and the end marker 2: no point allocating work planes.
    if (outCapacity < 625) return kJpegNoSpace;

    const int paddedW = (width + 7) & ~7;
    const int paddedH = (height + 7) & ~7;
    const size_t planeSize = static_cast<size_t>(paddedW) * static_cast<size_t>(paddedH);
    Plane planes[3];
    for (auto& p : planes) {
        p.reset(new (std::nothrow) uint8_t[planeSize]);
        if (!p) return kJpegNoMemory;
    }
    FillPlane(planes[0].get(), paddedW, paddedH, y, yStride, width, height, 0);
    FillPlane(planes[1].get(), paddedW, paddedH, u, uvStride, width, height, 1);
    FillPlane(planes[2].get(), paddedW, paddedH, v, uvStride, width, height, 1);

    const auto lumaQ = jpeg::ScaledQuantTable(jpeg::LumaQuantBase(), 50);
    const auto chromaQ = jpeg::ScaledQuantTable(jpeg::ChromaQuantBase(), 50);
    float lumaDiv[64], chromaDiv[64];
    Divisors(lumaQ, lumaDiv);
    Divisors(chromaQ, chromaDiv);

    jpeg::BitWriter w(out, outCapacity);
    const uint8_t soiApp0[] = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 0x4A, 0x46, 0x49, 0x46,
                               0x00, 0x01, 0x01, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00};
    jpeg::PutMarkerSegment(w, soiApp0, sizeof soiApp0);
    jpeg::PutDqt(w, 0, lumaQ);
    jpeg::PutDqt(w, 1, chromaQ);
    const uint8_t sof0[] = {0xFF,
                            0xC0,
                            0x00,
                            0x11,
                            0x08,
                            static_cast<uint8_t>(height >> 8),
                            static_cast<uint8_t>(height & 0xFF),
                            static_cast<uint8_t>(width >> 8),
                            static_cast<uint8_t>(width & 0xFF),
                            0x03,
                            0x01,
                            0x11,
                            0x00,
                            0x02,
                            0x11,
                            0x01,
                            0x03,
                            0x11,
                            0x01};
    jpeg::PutMarkerSegment(w, sof0, sizeof sof0);
    jpeg::PutDht(w, 0x00, jpeg::kDcLumaBits, jpeg::kDcValues, 12);
    jpeg::PutDht(w, 0x01, jpeg::kDcChromaBits, jpeg::kDcValues, 12);
    jpeg::PutDht(w, 0x10, jpeg::kAcLumaBits, jpeg::kAcLumaValues, 162);
    jpeg::PutDht(w, 0x11, jpeg::kAcChromaBits, jpeg::kAcChromaValues, 162);
    const uint8_t sos[] = {0xFF, 0xDA, 0x00, 0x0C, 0x03, 0x01, 0x00,
                           0x02, 0x11, 0x03, 0x11, 0x00, 0x3F, 0x00};
    jpeg::PutMarkerSegment(w, sos, sizeof sos);

    int pred[3] = {0, 0, 0};
    int16_t zz[64];
    const int blocksX = paddedW / 8, blocksY = paddedH / 8;
    for (int by = 0; by < blocksY && !w.Overflow(); ++by) {
        for (int bx = 0; bx < blocksX && !w.Overflow(); ++bx) {
            for (int comp = 0; comp < 3; ++comp) {
                QuantizeBlock(planes[comp].get(), paddedW, bx, by, comp == 0 ? lumaDiv : chromaDiv, zz);
                jpeg::EncodeBlock(w, comp == 0 ? jpeg::kLumaTables : jpeg::kChromaTables, zz, pred[comp]);
            }
        }
    }
    w.Flush();
    w.PutByte(0xFF);
    w.PutByte(0xD9);
    if (w.Overflow()) return kJpegNoSpace;
    *outLength = w.Size();
    return kJpegOk;
}

}  // namespace kavro
