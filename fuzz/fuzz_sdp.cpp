// Description text of a DESCRIBE reply, and the Digest answer built from a challenge.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "source/Digest.h"
#include "source/SdpParser.h"

using namespace kavro;

namespace {

void CheckTerminated(const char* field, size_t size) {
    if (memchr(field, 0, size) == nullptr) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    const uint8_t capacity = in.Byte();
    // The text as the session holds it: zero-terminated, possibly with NULs inside.
    std::string text(reinterpret_cast<const char*>(in.Rest()), in.RestSize());

    SdpTracks tracks;
    const char* base = capacity & 1 ? "rtsp://10.0.0.1:554/live/ch0" : "rtsp://10.0.0.1/";
    if (SdpFindTracks(text.c_str(), base, &tracks) && !tracks.hasVideo) abort();
    CheckTerminated(tracks.videoUrl, sizeof tracks.videoUrl);
    CheckTerminated(tracks.audioUrl, sizeof tracks.audioUrl);

    const uint8_t pt = SdpVideoPayloadType(text.c_str());
    if (pt != 26 && pt != 96) abort();
    const uint8_t codec = SdpAudioCodec(text.c_str(), 0xEE);
    if (codec != 0xEE && codec != 1 && codec != 2 && (codec < 4 || codec > 7)) abort();

    int32_t w = -5, h = -5, fps = -5, rate = -5;
    if (!SdpServerBanner(text.c_str(), &w, &h, &fps, &rate) &&
        (w != -5 || h != -5 || fps != -5 || rate != -5))
        abort();  // all four or none

    // Exactly sized heap buffers so that any write past the stated capacity is caught.
    const size_t setsCap = capacity;
    std::vector<uint8_t> sets(setsCap ? setsCap : 1);
    const size_t n = SdpParameterSets(text.c_str(), sets.data(), setsCap);
    if (n > setsCap) abort();
    if (n > 0 && (n < 4 || memcmp(sets.data(), "\0\0\0\1", 4) != 0)) abort();

    std::vector<uint8_t> decoded(capacity ? capacity : 1);
    if (Base64Decode(text.data(), text.size(), decoded.data(), capacity) > capacity) abort();

    // Challenge fields split at NULs: user, realm, password, nonce, method, uri.
    const char* fields[6] = {};
    size_t pos = 0;
    for (auto& f : fields) {
        if (pos > text.size()) break;
        f = text.c_str() + pos;
        pos += strlen(f) + 1;
    }
    char response[257];
    memset(response, 'x', sizeof response);
    if (DigestResponse(fields[0], fields[1], fields[2], response, fields[3], fields[4], fields[5]) !=
        nullptr) {
        if (strlen(response) != 32 || response[256] != 'x') abort();
        for (int i = 0; i < 32; ++i)
            if (!strchr("0123456789abcdef", response[i])) abort();
    }
    return 0;
}
