#pragma once
#include <cstdint>
#include <string>

namespace kavro::camsim {

enum class VideoCodec { kH264, kJpeg };
enum class AudioCodec { kNone, kPcma, kPcmu, kG726_16, kG726_24, kG726_32, kG726_40 };

struct Options {
    uint16_t port = 0;  // 0: pick a free one and announce it on stdout
    VideoCodec video = VideoCodec::kH264;
    AudioCodec audio = AudioCodec::kPcma;
    int width = 352;
    int height = 288;
    int fps = 25;
    int gop = 25;
    int bitrateKbps = 512;
    int mtu = 1400;          // largest RTP packet (header included)
    int jpegQ = 255;         // >= 128: tables travel in-band
    int audioPacketMs = 20;  // 20 or 40
    bool stapA = false;      // SPS and PPS aggregated into one STAP-A packet
    bool banner = true;      // size/rate banner in the Server header

    // Fault knobs; negative = off.
    double stopVideoAfterSec = -1;
    double closeAfterSec = -1;
    int refuseFirst = 0;

    bool authEnabled = false;
    std::string authUser;
    std::string authPass;
    bool authBasicFirst = false;
    std::string realm = "camsim";
    std::string nonce;      // empty: random per run
    std::string sessionId;  // empty: random digits per session
    std::string logPath;
};

// Parses argv; on error or --help writes to stderr and returns false.
bool ParseOptions(int argc, char** argv, Options* out);

int AudioPayloadType(AudioCodec codec);
// SDP encoding name as it appears in the rtpmap line ("PCMA", "G726-32", ...).
const char* AudioEncodingName(AudioCodec codec);
// Bits per sample of the coded audio (8 for G.711, 2..5 for G.726).
int AudioBitsPerSample(AudioCodec codec);

}  // namespace kavro::camsim
