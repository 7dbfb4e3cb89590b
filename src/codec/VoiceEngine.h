#pragma once
#include <cstddef>
#include <cstdint>

namespace kavro {

// Voice modes: the stream's audio codec code.
enum VoiceMode : uint16_t {
    kVoiceModeAlaw = 1,
    kVoiceModeUlaw = 2,
    kVoiceModeG726_16 = 4,
    kVoiceModeG726_24 = 5,
    kVoiceModeG726_32 = 6,
    kVoiceModeG726_40 = 7,
};

// Coded audio as the engine takes and gives it:
//   bytes 0-1  16-bit little-endian word, 0x0100 in every frame built here
//   bytes 2-3  16-bit little-endian count of 16-bit words of coded data
//   bytes 4..  coded data (count x 2 bytes)
// G.711: one byte per sample. G.726: code words packed as RTP carries them, first sample in the least
// significant bits of the first byte.
constexpr size_t kVoiceFrameHeaderBytes = 4;
constexpr uint16_t kVoiceFrameTag = 0x0100;
// Decoded output areas of the callers hold this many samples (960 bytes).
constexpr size_t kVoiceMaxDecodedSamples = 480;

// Writes the 4-byte header in front of `dataBytes` bytes of coded data (word count = dataBytes / 2).
void VoiceFrameWriteHeader(uint8_t* frame, size_t dataBytes);
// Word count announced by a frame's header (bytes 2-3).
uint16_t VoiceFrameWordCount(const uint8_t* frame);
// Bytes a sender puts on the wire for a frame: (low 8 bits of the word count) x 2 + 4.
size_t VoiceFrameWireBytes(const uint8_t* frame);

// Caller-owned coding state, kept between frames and initialised by a reset. One type serves every
// mode (it covers both the small G.711 area and the larger G.726 one).
struct VoiceState {
    uint32_t magic;
    uint16_t mode;
    uint16_t bitsPerSample;
    int32_t yl;
    int16_t yu, dms, dml, ap;
    int16_t a[2];
    int16_t b[6];
    int16_t pk[2];
    int16_t dq[6];
    int16_t sr[2];
    int16_t td;
};
static_assert(sizeof(VoiceState) <= 128, "voice state must fit the caller's 128-byte area");

// All functions return 0 on success, -1 on failure.

// Decoder state ready for `mode` (1, 2, 4..7). Fails for any other mode.
int32_t HI_VOICE_DecReset(VoiceState* state, uint16_t mode);

// Decodes the frame of `frameBytes` bytes into `out` (room for `outCapacity` samples); *sampleCount
// gets the number of samples written. Fails, writing nothing, when the state is not reset, the frame
// is shorter than its header says, or it would decode to more than `outCapacity` samples.
int32_t HI_VOICE_DecodeFrame(VoiceState* state, const uint8_t* frame, size_t frameBytes, int16_t* out,
                             size_t outCapacity, uint16_t* sampleCount);

// Encoder state ready for `mode` (1, 2, 4..7; the talk path uses 6).
int32_t HI_VOICE_EncReset(VoiceState* state, uint16_t mode);

// Codes `sampleCount` samples into a VoiceFrame at `out` (room for `outCapacity` bytes). Coded data that
// does not fill a whole word is padded (G.711 with the code of silence). Fails, writing nothing, when
// the state is not reset or the frame would not fit.
int32_t HI_VOICE_EncodeFrame(VoiceState* state, const int16_t* samples, uint16_t sampleCount, uint8_t* out,
                             size_t outCapacity);

// G.711 single-sample coding, exposed for tests and tools.
int16_t VoiceAlawToLinear(uint8_t code);
uint8_t VoiceLinearToAlaw(int16_t sample);
int16_t VoiceUlawToLinear(uint8_t code);
uint8_t VoiceLinearToUlaw(int16_t sample);

}  // namespace kavro
