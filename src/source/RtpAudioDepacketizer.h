#pragma once
#include <cstddef>
#include <cstdint>

#include "codec/VoiceEngine.h"

namespace kavro {

struct ClientHandle;
class CIConduit;
class IRecord;

// Per-packet audio handling shared by the UDP receiver thread and the interleaved TCP reader:
// decodes one G.711/G.726 RTP packet through the voice engine, writes the PCM into the audio
// conduit while sound is on and records the coded frame. Does no I/O itself.
class RtpAudioDepacketizer {
public:
    RtpAudioDepacketizer(ClientHandle* client, CIConduit* conduit, IRecord* record);

    // Resets the decoder for the client's audio codec; false when the codec is not supported.
    bool BeginRun();
    // One RTP packet (12-byte header included). The packet is rewritten in place: its bytes 8..11
    // become the voice frame header. Returns false when the packet was dropped.
    bool HandlePacket(uint8_t* packet, size_t length);

private:
    ClientHandle* client_;
    CIConduit* conduit_;
    IRecord* record_;
    VoiceState decoderState_ = {};
    // Room for the largest datagram at the lowest G.726 rate, so no frame is cut.
    int16_t samples_[8192] = {};
};

}  // namespace kavro
