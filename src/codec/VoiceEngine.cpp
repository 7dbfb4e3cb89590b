#include "codec/VoiceEngine.h"

#include <cstdlib>
#include <cstring>

namespace kavro {
namespace {

constexpr uint32_t kDecoderMagic = 0x56444543;  // "VDEC"
constexpr uint32_t kEncoderMagic = 0x56454E43;  // "VENC"

// ---- G.711 ----

int SegmentOf(int value, const int* ends) {
    for (int i = 0; i < 8; ++i)
        if (value <= ends[i]) return i;
    return 8;
}

// ---- G.726 (ITU-T fixed-point algorithm, 14-bit linear core) ----

const int kPower2[15] = {1,     2,     4,     8,     0x10,   0x20,   0x40,  0x80,
                         0x100, 0x200, 0x400, 0x800, 0x1000, 0x2000, 0x4000};

// Index of the first table entry above `value`, or `size`.
int Quan(int value, const int* table, int size) {
    int i = 0;
    while (i < size && value >= table[i]) ++i;
    return i;
}

struct RateTables {
    int bits;
    int quantizerSize;
    const int* quantizer;
    const int* dqln;
    const int* wi;
    const int* fi;
};

const int kQ16[1] = {261};
const int kDqln16[4] = {116, 365, 365, 116};
const int kWi16[4] = {-704, 14048, 14048, -704};
const int kFi16[4] = {0, 0xE00, 0xE00, 0};

const int kQ24[3] = {8, 218, 331};
const int kDqln24[8] = {-2048, 135, 273, 373, 373, 273, 135, -2048};
const int kWi24[8] = {-128, 960, 4384, 18624, 18624, 4384, 960, -128};
const int kFi24[8] = {0, 0x200, 0x400, 0xE00, 0xE00, 0x400, 0x200, 0};

const int kQ32[7] = {-124, 80, 178, 246, 300, 349, 400};
const int kDqln32[16] = {-2048, 4, 135, 213, 273, 323, 373, 425, 425, 373, 323, 273, 213, 135, 4, -2048};
const int kWi32[16] = {-384,  576,   1312, 2048, 3584, 6336, 11360, 35904,
                       35904, 11360, 6336, 3584, 2048, 1312, 576,   -384};
const int kFi32[16] = {0,     0,     0,     0x200, 0x200, 0x200, 0x600, 0xE00,
                       0xE00, 0x600, 0x200, 0x200, 0x200, 0,     0,     0};

const int kQ40[15] = {-122, -16, 68, 139, 198, 250, 298, 339, 378, 413, 445, 475, 502, 528, 553};
const int kDqln40[32] = {-2048, -66, 28,  104, 169, 224, 274, 318, 358, 395, 429, 459, 488, 514, 539, 566,
                         566,   539, 514, 488, 459, 429, 395, 358, 318, 274, 224, 169, 104, 28,  -66, -2048};
const int kWi40[32] = {448,  448,   768,   1248,  1280,  1312,  1856,  3200,  4512,  5728, 7008,
                       8960, 11456, 14080, 16928, 22272, 22272, 16928, 14080, 11456, 8960, 7008,
                       5728, 4512,  3200,  1856,  1312,  1280,  1248,  768,   448,   448};
const int kFi40[32] = {0,     0,     0,     0,     0,     0x200, 0x200, 0x200, 0x200, 0x200, 0x400,
                       0x600, 0x800, 0xA00, 0xC00, 0xC00, 0xC00, 0xC00, 0xA00, 0x800, 0x600, 0x400,
                       0x200, 0x200, 0x200, 0x200, 0x200, 0,     0,     0,     0,     0};

const RateTables kRate16 = {2, 1, kQ16, kDqln16, kWi16, kFi16};
const RateTables kRate24 = {3, 3, kQ24, kDqln24, kWi24, kFi24};
const RateTables kRate32 = {4, 7, kQ32, kDqln32, kWi32, kFi32};
const RateTables kRate40 = {5, 15, kQ40, kDqln40, kWi40, kFi40};

const RateTables* TablesFor(uint16_t mode) {
    switch (mode) {
        case kVoiceModeG726_16:
            return &kRate16;
        case kVoiceModeG726_24:
            return &kRate24;
        case kVoiceModeG726_32:
            return &kRate32;
        case kVoiceModeG726_40:
            return &kRate40;
        default:
            return nullptr;
    }
}

int BitsPerSample(uint16_t mode) {
    if (mode == kVoiceModeAlaw || mode == kVoiceModeUlaw) return 8;
    const RateTables* t = TablesFor(mode);
    return t ? t->bits : 0;
}

// Multiplies a predictor coefficient with a value in the 4-bit exponent / 6-bit mantissa form.
int Fmult(int an, int srn) {
    int anmag = (an > 0) ? an : ((-an) & 0x1FFF);
    int anexp = Quan(anmag, kPower2, 15) - 6;
    int anmant = (anmag == 0) ? 32 : (anexp >= 0) ? (anmag >> anexp) : (anmag << -anexp);
    int wanexp = anexp + ((srn >> 6) & 0xF) - 13;
    int wanmant = (anmant * (srn & 077) + 0x30) >> 4;
    int retval = (wanexp >= 0) ? ((wanmant << wanexp) & 0x7FFF) : (wanmant >> -wanexp);
    return ((an ^ srn) < 0) ? -retval : retval;
}

int PredictorZero(const VoiceState& s) {
    int sezi = 0;
    for (int i = 0; i < 6; ++i) sezi += Fmult(s.b[i] >> 2, s.dq[i]);
    return sezi;
}

int PredictorPole(const VoiceState& s) { return Fmult(s.a[1] >> 2, s.sr[1]) + Fmult(s.a[0] >> 2, s.sr[0]); }

int StepSize(const VoiceState& s) {
    if (s.ap >= 256) return s.yu;
    int y = s.yl >> 6;
    int dif = s.yu - y;
    int al = s.ap >> 2;
    if (dif > 0)
        y += (dif * al) >> 6;
    else if (dif < 0)
        y += (dif * al + 0x3F) >> 6;
    return y;
}

int Quantize(int d, int y, const RateTables& t) {
    int dqm = std::abs(d);
    int exp = Quan(dqm >> 1, kPower2, 15);
    int mant = ((dqm << 7) >> exp) & 0x7F;
    int dl = (exp << 7) + mant;
    int dln = dl - (y >> 2);
    int i = Quan(dln, t.quantizer, t.quantizerSize);
    int size = t.quantizerSize;
    if (t.bits == 2) return (d < 0) ? 3 - i : i;  // no zero level at 16 kbit/s
    if (d < 0) return (size << 1) + 1 - i;
    if (i == 0) return (size << 1) + 1;
    return i;
}

int Reconstruct(bool sign, int dqln, int y) {
    int dql = dqln + (y >> 2);
    if (dql < 0) return sign ? -0x8000 : 0;
    int dex = (dql >> 7) & 15;
    int dqt = 128 + (dql & 127);
    int dq = (dqt << 7) >> (14 - dex);
    return sign ? (dq - 0x8000) : dq;
}

int16_t FloatForm(int value) {
    // 4-bit exponent, 6-bit mantissa, sign folded in as the reference does.
    if (value == 0) return 0x20;
    if (value > 0) {
        int exp = Quan(value, kPower2, 15);
        return static_cast<int16_t>((exp << 6) + ((value << 6) >> exp));
    }
    if (value > -32768) {
        int mag = -value;
        int exp = Quan(mag, kPower2, 15);
        return static_cast<int16_t>((exp << 6) + ((mag << 6) >> exp) - 0x400);
    }
    return static_cast<int16_t>(-992);  // 0xFC20
}

void Update(int bits, int y, int wi, int fi, int dq, int sr, int dqsez, VoiceState& s) {
    int pk0 = (dqsez < 0) ? 1 : 0;
    int mag = dq & 0x7FFF;

    int ylint = s.yl >> 15;
    int ylfrac = (s.yl >> 10) & 0x1F;
    int thr1 = (32 + ylfrac) << ylint;
    int thr2 = (ylint > 9) ? (31 << 10) : thr1;
    int dqthr = (thr2 + (thr2 >> 1)) >> 1;
    int tr = (s.td != 0 && mag > dqthr) ? 1 : 0;

    int yu = y + ((wi - y) >> 5);
    if (yu < 544) yu = 544;
    if (yu > 5120) yu = 5120;
    s.yu = static_cast<int16_t>(yu);
    s.yl += yu + ((-s.yl) >> 6);

    int a2p = 0;
    if (tr == 1) {
        s.a[0] = s.a[1] = 0;
        for (auto& b : s.b) b = 0;
    } else {
        int pks1 = pk0 ^ s.pk[0];
        a2p = s.a[1] - (s.a[1] >> 7);
        if (dqsez != 0) {
            int fa1 = pks1 ? s.a[0] : -s.a[0];
            if (fa1 < -8191)
                a2p -= 0x100;
            else if (fa1 > 8191)
                a2p += 0xFF;
            else
                a2p += fa1 >> 5;
            if (pk0 ^ s.pk[1]) {
                if (a2p <= -12160)
                    a2p = -12288;
                else if (a2p >= 12416)
                    a2p = 12288;
                else
                    a2p -= 0x80;
            } else if (a2p <= -12416) {
                a2p = -12288;
            } else if (a2p >= 12160) {
                a2p = 12288;
            } else {
                a2p += 0x80;
            }
        }
        s.a[1] = static_cast<int16_t>(a2p);

        int a0 = s.a[0] - (s.a[0] >> 8);
        if (dqsez != 0) a0 += pks1 ? -192 : 192;
        int a1ul = 15360 - a2p;
        if (a0 < -a1ul) a0 = -a1ul;
        if (a0 > a1ul) a0 = a1ul;
        s.a[0] = static_cast<int16_t>(a0);

        for (int i = 0; i < 6; ++i) {
            int b = s.b[i];
            b -= (bits == 5) ? (b >> 9) : (b >> 8);
            if (dq & 0x7FFF) b += ((dq ^ s.dq[i]) >= 0) ? 128 : -128;
            s.b[i] = static_cast<int16_t>(b);
        }
    }

    for (int i = 5; i > 0; --i) s.dq[i] = s.dq[i - 1];
    if (mag == 0) {
        s.dq[0] = (dq >= 0) ? 0x20 : static_cast<int16_t>(-992);
    } else {
        int exp = Quan(mag, kPower2, 15);
        int v = (exp << 6) + ((mag << 6) >> exp);
        s.dq[0] = static_cast<int16_t>((dq >= 0) ? v : v - 0x400);
    }

    s.sr[1] = s.sr[0];
    s.sr[0] = FloatForm(sr);

    s.pk[1] = s.pk[0];
    s.pk[0] = static_cast<int16_t>(pk0);

    if (tr == 1)
        s.td = 0;
    else
        s.td = (a2p < -11776) ? 1 : 0;

    s.dms = static_cast<int16_t>(s.dms + ((fi - s.dms) >> 5));
    s.dml = static_cast<int16_t>(s.dml + (((fi << 2) - s.dml) >> 7));

    int ap = s.ap;
    if (tr == 1)
        ap = 256;
    else if (y < 1536 || s.td == 1 || std::abs((s.dms << 2) - s.dml) >= (s.dml >> 3))
        ap += (0x200 - ap) >> 4;
    else
        ap += (-ap) >> 4;
    s.ap = static_cast<int16_t>(ap);
}

int G726Encode(VoiceState& s, const RateTables& t, int16_t sample) {
    int sl = sample >> 2;  // 14-bit core
    int sezi = PredictorZero(s);
    int sez = sezi >> 1;
    int se = (sezi + PredictorPole(s)) >> 1;
    int d = sl - se;
    int y = StepSize(s);
    int i = Quantize(d, y, t);
    int signBit = 1 << (t.bits - 1);
    int dq = Reconstruct((i & signBit) != 0, t.dqln[i], y);
    int sr = (dq < 0) ? se - (dq & 0x3FFF) : se + dq;
    int dqsez = sr + sez - se;
    Update(t.bits, y, t.wi[i], t.fi[i], dq, sr, dqsez, s);
    return i;
}

int16_t G726Decode(VoiceState& s, const RateTables& t, int code) {
    int i = code & ((1 << t.bits) - 1);
    int sezi = PredictorZero(s);
    int sez = sezi >> 1;
    int se = (sezi + PredictorPole(s)) >> 1;
    int y = StepSize(s);
    int signBit = 1 << (t.bits - 1);
    int dq = Reconstruct((i & signBit) != 0, t.dqln[i], y);
    int sr = (dq < 0) ? se - (dq & 0x3FFF) : se + dq;
    int dqsez = sr - se + sez;
    Update(t.bits, y, t.wi[i], t.fi[i], dq, sr, dqsez, s);
    int out = sr * 4;
    if (out > 32767) out = 32767;
    if (out < -32768) out = -32768;
    return static_cast<int16_t>(out);
}

int32_t Reset(VoiceState* state, uint16_t mode, uint32_t magic) {
    if (!state) return -1;
    int bits = BitsPerSample(mode);
    if (bits == 0) return -1;
    std::memset(state, 0, sizeof(*state));
    state->mode = mode;
    state->bitsPerSample = static_cast<uint16_t>(bits);
    state->yl = 34816;
    state->yu = 544;
    for (auto& v : state->dq) v = 32;
    for (auto& v : state->sr) v = 32;
    state->magic = magic;
    return 0;
}

}  // namespace

int16_t VoiceAlawToLinear(uint8_t code) {
    int a = code ^ 0x55;
    int t = (a & 0x0F) << 4;
    int seg = (a & 0x70) >> 4;
    if (seg == 0)
        t += 8;
    else if (seg == 1)
        t += 0x108;
    else
        t = (t + 0x108) << (seg - 1);
    return static_cast<int16_t>((a & 0x80) ? t : -t);
}

uint8_t VoiceLinearToAlaw(int16_t sample) {
    static const int kEnds[8] = {0x1F, 0x3F, 0x7F, 0xFF, 0x1FF, 0x3FF, 0x7FF, 0xFFF};
    int v = sample >> 3;
    int mask;
    if (v >= 0) {
        mask = 0xD5;
    } else {
        mask = 0x55;
        v = -v - 1;
    }
    int seg = SegmentOf(v, kEnds);
    if (seg >= 8) return static_cast<uint8_t>(0x7F ^ mask);
    int aval = seg << 4;
    aval |= (seg < 2) ? ((v >> 1) & 0xF) : ((v >> seg) & 0xF);
    return static_cast<uint8_t>(aval ^ mask);
}

int16_t VoiceUlawToLinear(uint8_t code) {
    const int kBias = 0x84;
    int u = ~code & 0xFF;
    int t = ((u & 0x0F) << 3) + kBias;
    t <<= (u & 0x70) >> 4;
    return static_cast<int16_t>((u & 0x80) ? (kBias - t) : (t - kBias));
}

uint8_t VoiceLinearToUlaw(int16_t sample) {
    static const int kEnds[8] = {0x3F, 0x7F, 0xFF, 0x1FF, 0x3FF, 0x7FF, 0xFFF, 0x1FFF};
    const int kClip = 8159;
    int v = sample >> 2;
    int mask;
    if (v < 0) {
        v = -v;
        mask = 0x7F;
    } else {
        mask = 0xFF;
    }
    if (v > kClip) v = kClip;
    v += 0x84 >> 2;
    int seg = SegmentOf(v, kEnds);
    if (seg >= 8) return static_cast<uint8_t>(0x7F ^ mask);
    int uval = (seg << 4) | ((v >> (seg + 1)) & 0xF);
    return static_cast<uint8_t>(uval ^ mask);
}

void VoiceFrameWriteHeader(uint8_t* frame, size_t dataBytes) {
    size_t words = dataBytes / 2;
    if (words > 0xFFFF) words = 0xFFFF;
    frame[0] = kVoiceFrameTag & 0xFF;
    frame[1] = kVoiceFrameTag >> 8;
    frame[2] = static_cast<uint8_t>(words & 0xFF);
    frame[3] = static_cast<uint8_t>(words >> 8);
}

uint16_t VoiceFrameWordCount(const uint8_t* frame) {
    return static_cast<uint16_t>(frame[2] | (frame[3] << 8));
}

size_t VoiceFrameWireBytes(const uint8_t* frame) { return size_t(frame[2]) * 2 + kVoiceFrameHeaderBytes; }

int32_t HI_VOICE_DecReset(VoiceState* state, uint16_t mode) { return Reset(state, mode, kDecoderMagic); }

int32_t HI_VOICE_EncReset(VoiceState* state, uint16_t mode) { return Reset(state, mode, kEncoderMagic); }

int32_t HI_VOICE_DecodeFrame(VoiceState* state, const uint8_t* frame, size_t frameBytes, int16_t* out,
                             size_t outCapacity, uint16_t* sampleCount) {
    if (!state || !frame || !out || !sampleCount || state->magic != kDecoderMagic) return -1;
    if (frameBytes < kVoiceFrameHeaderBytes) return -1;
    size_t dataBytes = size_t(VoiceFrameWordCount(frame)) * 2;
    // The count comes off the wire: never read past what was actually received.
    if (dataBytes > frameBytes - kVoiceFrameHeaderBytes) return -1;
    const uint8_t* data = frame + kVoiceFrameHeaderBytes;
    int bits = state->bitsPerSample;
    size_t samples = dataBytes * 8 / static_cast<size_t>(bits);
    if (samples > outCapacity || samples > 0xFFFF) return -1;

    if (state->mode == kVoiceModeAlaw) {
        for (size_t i = 0; i < samples; ++i) out[i] = VoiceAlawToLinear(data[i]);
    } else if (state->mode == kVoiceModeUlaw) {
        for (size_t i = 0; i < samples; ++i) out[i] = VoiceUlawToLinear(data[i]);
    } else {
        const RateTables* t = TablesFor(state->mode);
        if (!t) return -1;
        uint32_t acc = 0;
        int have = 0;
        size_t pos = 0;
        const uint32_t mask = (1u << bits) - 1;
        for (size_t i = 0; i < samples; ++i) {
            while (have < bits) {
                acc |= uint32_t(data[pos++]) << have;
                have += 8;
            }
            out[i] = G726Decode(*state, *t, static_cast<int>(acc & mask));
            acc >>= bits;
            have -= bits;
        }
    }
    *sampleCount = static_cast<uint16_t>(samples);
    return 0;
}

int32_t HI_VOICE_EncodeFrame(VoiceState* state, const int16_t* samples, uint16_t sampleCount, uint8_t* out,
                             size_t outCapacity) {
    if (!state || (!samples && sampleCount) || !out || state->magic != kEncoderMagic) return -1;
    int bits = state->bitsPerSample;
    size_t dataBytes = (size_t(sampleCount) * static_cast<size_t>(bits) + 7) / 8;
    size_t padded = (dataBytes + 1) & ~size_t(1);
    if (padded / 2 > 0xFFFF || outCapacity < kVoiceFrameHeaderBytes + padded) return -1;
    uint8_t* data = out + kVoiceFrameHeaderBytes;

    if (state->mode == kVoiceModeAlaw || state->mode == kVoiceModeUlaw) {
        bool alaw = state->mode == kVoiceModeAlaw;
        for (size_t i = 0; i < sampleCount; ++i)
            data[i] = alaw ? VoiceLinearToAlaw(samples[i]) : VoiceLinearToUlaw(samples[i]);
        if (padded > dataBytes) data[dataBytes] = alaw ? VoiceLinearToAlaw(0) : VoiceLinearToUlaw(0);
    } else {
        const RateTables* t = TablesFor(state->mode);
        if (!t) return -1;
        std::memset(data, 0, padded);
        uint32_t acc = 0;
        int have = 0;
        size_t pos = 0;
        for (size_t i = 0; i < sampleCount; ++i) {
            acc |= uint32_t(G726Encode(*state, *t, samples[i])) << have;
            have += bits;
            while (have >= 8) {
                data[pos++] = static_cast<uint8_t>(acc & 0xFF);
                acc >>= 8;
                have -= 8;
            }
        }
        if (have > 0) data[pos] = static_cast<uint8_t>(acc & 0xFF);
    }
    VoiceFrameWriteHeader(out, padded);
    return 0;
}

}  // namespace kavro
