#include "source/RtpAudioDepacketizer.h"

#include "api/ClientHandle.h"
#include "codec/VoiceEngine.h"
#include "conduit/CIConduit.h"
#include "source/ChunkWriter.h"
#include "source/IRecord.h"

namespace kavro {

RtpAudioDepacketizer::RtpAudioDepacketizer(ClientHandle* client, CIConduit* conduit, IRecord* record)
    : client_(client), conduit_(conduit), record_(record) {}

bool RtpAudioDepacketizer::BeginRun() { return HI_VOICE_DecReset(&decoderState_, client_->audioCodec) == 0; }

bool RtpAudioDepacketizer::HandlePacket(uint8_t* packet, size_t n) {
    if (n < 12) return false;
    size_t payload = n - 12;
    // The voice frame is built over the SSRC so that header and payload are contiguous.
    uint16_t words = static_cast<uint16_t>((payload / 2) > 0xFFFF ? 0xFFFF : payload / 2);
    packet[8] = 0x00;
    packet[9] = 0x01;
    packet[10] = static_cast<uint8_t>(words & 0xFF);
    packet[11] = static_cast<uint8_t>(words >> 8);
    uint32_t timestamp = (static_cast<uint32_t>(packet[4]) << 24) | (static_cast<uint32_t>(packet[5]) << 16) |
                         (static_cast<uint32_t>(packet[6]) << 8) | packet[7];
    uint16_t count = 0;
    if (HI_VOICE_DecodeFrame(&decoderState_, packet + 8, n - 8, samples_,
                             sizeof samples_ / sizeof samples_[0], &count) != 0)
        return false;
    if (client_->audioOn) {
        if (conduit_->GetDataSize() > 1024) conduit_->Reset();
        conduit_->Write(samples_, count * 2, 0);
    }
    if (record_ && (record_->IsRecording() || record_->IsAlarmRecording()))
        WriteMediaChunk(*record_, client_,
                        AudioChunk(client_->audioCodec & 0xF, timestamp, packet + 8, 4, packet + 12,
                                   static_cast<uint32_t>(payload)));
    return true;
}

}  // namespace kavro
