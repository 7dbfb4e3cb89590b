#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "Options.h"

namespace kavro::camsim {

// One RTP payload, ready to go behind a 12-byte RTP header.
struct RtpPayload {
    std::vector<uint8_t> data;
    bool marker = false;
};

// Everything a picture contributes to the stream, in sending order.
struct VideoFrame {
    std::vector<RtpPayload> packets;
};

// The media of the simulated camera, encoded and packetised once at start-up and looped by every
// session, so serving many clients costs little more than the sends.
class MediaCache {
public:
    // Encodes the loop; false (with a message on stderr) when an encoder is missing or fails.
    bool Build(const Options& options);

    const std::vector<VideoFrame>& VideoFrames() const { return videoFrames_; }
    const std::vector<RtpPayload>& AudioPackets() const { return audioPackets_; }
    bool HasAudio() const { return !audioPackets_.empty(); }
    int VideoPayloadType() const { return videoPayloadType_; }
    int AudioPayloadType() const { return audioPayloadType_; }
    uint32_t AudioSamplesPerPacket() const { return audioSamplesPerPacket_; }
    // Media lines of the session description, each line ended by CRLF; tracks 1 (video) and 2 (audio).
    std::string SdpMedia() const;
    // Average video bit rate of the loop in units of 1024 bit/s.
    int VideoKbps() const { return videoKbps_; }

private:
    bool BuildH264(const Options& o);
    bool BuildJpeg(const Options& o);
    bool BuildAudio(const Options& o);

    std::vector<VideoFrame> videoFrames_;
    std::vector<RtpPayload> audioPackets_;
    int videoPayloadType_ = 96;
    int audioPayloadType_ = -1;
    std::string audioName_;
    uint32_t audioSamplesPerPacket_ = 160;
    std::string fmtp_;
    int videoKbps_ = 0;
};

// Base64 without line breaks (for sprop-parameter-sets).
std::string Base64(const uint8_t* data, size_t len);

}  // namespace kavro::camsim
