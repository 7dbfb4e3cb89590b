#pragma once
#include <cstddef>
#include <cstdint>

namespace kavro {

constexpr size_t kTrackUrlSize = 256;

// Where the tracks of a described presentation are set up.
struct SdpTracks {
    bool hasVideo = false;
    bool hasAudio = false;
    char videoTrack = 0;  // the character after "trackID=", 0 when the tracks came from a=control
    char audioTrack = 0;
    char videoUrl[kTrackUrlSize] = {};  // request URL of the video SETUP
    char audioUrl[kTrackUrlSize] = {};
};

// Finds the video and audio tracks of a DESCRIBE reply: the first and the next "trackID=" of
// the text, or, without any "trackID=", the a=control attributes of the first video and the
// first audio media section (relative controls are joined to presentationUrl).
// false when no video track can be found.
bool SdpFindTracks(const char* text, const char* presentationUrl, SdpTracks* out);

// 26 for a JPEG description, 96 (H.264) otherwise.
uint8_t SdpVideoPayloadType(const char* text);

// Audio codec code of the description (1 A-law, 2 mu-law, 4-7 G.726 16-40 kbit/s), or current
// when none of the known formats is listed.
uint8_t SdpAudioCodec(const char* text, uint8_t current);

// Width, height, frame rate and bit rate (bit/s) from the camera's Server banner; all four or
// none (false).
bool SdpServerBanner(const char* text, int32_t* width, int32_t* height, int32_t* fps, int32_t* bitRate);

// Decodes standard base64 (padding optional, stops at the first character outside the
// alphabet); 0 when the result would not fit into capacity.
size_t Base64Decode(const char* in, size_t length, uint8_t* out, size_t capacity);

// The sprop-parameter-sets of the description as Annex B bytes (each set behind 00 00 00 01);
// 0 when absent, undecodable or larger than capacity.
size_t SdpParameterSets(const char* text, uint8_t* out, size_t capacity);

}  // namespace kavro
