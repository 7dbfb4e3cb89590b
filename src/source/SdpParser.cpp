#include "source/SdpParser.h"


#include <cstdio>
#include <cstring>

namespace kavro {

namespace {

// Length of the line starting at p (without its CR/LF).
size_t LineLength(const char* p) {
    size_t n = 0;
    while (p[n] && p[n] != '\r' && p[n] != '\n') ++n;
    return n;
}

const char* NextLine(const char* p) {
    p += LineLength(p);
    if (*p == '\r') ++p;
    if (*p == '\n') ++p;
    return p;
}

bool JoinControl(const char* control, size_t length, const char* base, char* out) {
    while (length > 0 && (control[length - 1] == ' ' || control[length - 1] == '\t')) --length;
    if (length == 0) return false;
    int n;
    const char* scheme = static_cast<const char*>(std::memchr(control, ':', length));
    if (length == 1 && control[0] == '*') {
        n = std::snprintf(out, kTrackUrlSize, "%s", base);
    } else if (scheme && scheme + 2 < control + length && scheme[1] == '/' && scheme[2] == '/') {
        n = std::snprintf(out, kTrackUrlSize, "%.*s", static_cast<int>(length), control);
    } else {
        size_t baseLength = std::strlen(base);
        const char* slash = (baseLength > 0 && base[baseLength - 1] == '/') ? "" : "/";
        n = std::snprintf(out, kTrackUrlSize, "%s%s%.*s", base, slash, static_cast<int>(length), control);
    }
    if (n < 0 || static_cast<size_t>(n) >= kTrackUrlSize) {
        out[0] = '\0';
        return false;
    }
    return true;
}

bool FromTrackIds(const char* text, const char* base, SdpTracks* out) {
    const char* first = std::strstr(text, "trackID=");
    if (!first) return false;
    char video = first[8];
    if (static_cast<unsigned char>(video) <= ' ') return true;  // present but unusable: no video
    int n = std::snprintf(out->videoUrl, kTrackUrlSize, "%s/trackID=%c", base, video);
    if (n < 0 || static_cast<size_t>(n) >= kTrackUrlSize) return true;
    out->videoTrack = video;
    out->hasVideo = true;
    const char* second = std::strstr(first + 1, "trackID=");
    if (second && static_cast<unsigned char>(second[8]) > ' ') {
        n = std::snprintf(out->audioUrl, kTrackUrlSize, "%s/trackID=%c", base, second[8]);
        if (n >= 0 && static_cast<size_t>(n) < kTrackUrlSize) {
            out->audioTrack = second[8];
            out->hasAudio = true;
        }
    }
    return true;
}

void FromControls(const char* text, const char* base, SdpTracks* out) {
    enum Kind { kNone, kVideo, kAudio, kOther } kind = kNone;
    bool videoSeen = false, audioSeen = false;
    for (const char* p = text; *p; p = NextLine(p)) {
        size_t length = LineLength(p);
        if (length >= 2 && p[0] == 'm' && p[1] == '=') {
            kind = kOther;
            if (length >= 7 && std::strncmp(p, "m=video", 7) == 0 && !videoSeen) {
                kind = kVideo;
                videoSeen = true;
            } else if (length >= 7 && std::strncmp(p, "m=audio", 7) == 0 && !audioSeen) {
                kind = kAudio;
                audioSeen = true;
            }
        } else if (length > 10 && std::strncmp(p, "a=control:", 10) == 0) {
            if (kind == kVideo && !out->hasVideo) {
                out->hasVideo = JoinControl(p + 10, length - 10, base, out->videoUrl);
            } else if (kind == kAudio && !out->hasAudio) {
                out->hasAudio = JoinControl(p + 10, length - 10, base, out->audioUrl);
            }
        }
        if (p[length] == '\0') break;
    }
}

// Parses an optionally signed decimal of at most 9 digits; advances p.
bool ParseInt(const char*& p, int32_t* value) {
    bool negative = false;
    if (*p == '-' || *p == '+') negative = *p++ == '-';
    int digits = 0;
    int32_t v = 0;
    while (*p >= '0' && *p <= '9') {
        if (++digits > 9) return false;
        v = v * 10 + (*p++ - '0');
    }
    if (digits == 0) return false;
    *value = negative ? -v : v;
    return true;
}

int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

}  // namespace

bool SdpFindTracks(const char* text, const char* presentationUrl, SdpTracks* out) {
    *out = SdpTracks();
    if (!text || !presentationUrl) return false;
    if (!FromTrackIds(text, presentationUrl, out)) FromControls(text, presentationUrl, out);
    if (!out->hasVideo) {
        out->hasAudio = false;
        return false;
    }
    return true;
}

uint8_t SdpVideoPayloadType(const char* text) {
    return std::strstr(text, "a=rtpmap:26 JPEG/90000") ? 26 : 96;
}

uint8_t SdpAudioCodec(const char* text, uint8_t current) {
    static const struct {
        const char* rtpmap;
        uint8_t codec;
    } kCodecs[] = {{"a=rtpmap:97 G726-16/8000", 4}, {"a=rtpmap:97 G726-24/8000", 5},
                   {"a=rtpmap:97 G726-32/8000", 6}, {"a=rtpmap:97 G726-40/8000", 7},
                   {"a=rtpmap:0 PCMU/8000", 2},     {"a=rtpmap:8 PCMA/8000", 1}};
    for (const auto& c : kCodecs) {
        if (std::strstr(text, c.rtpmap)) return c.codec;
    }
    return current;
}

bool SdpServerBanner(const char* text, int32_t* width, int32_t* height, int32_t* fps, int32_t* bitRate) {
    static const char kBanner[] = "\r\nServer: TessaraVine Rtsp Server ";
    const char* p = std::strstr(text, kBanner);
    if (!p) return false;
    p += sizeof kBanner - 1;
    int32_t v[4];
    for (int i = 0; i < 4; ++i) {
        if (i > 0 && *p++ != '*') return false;
        if (!ParseInt(p, &v[i])) return false;
    }
    // The fourth value is in kbit/s (units of 1024 bit/s).
    if (v[3] > INT32_MAX / 1024 || v[3] < INT32_MIN / 1024) return false;
    *width = v[0];
    *height = v[1];
    *fps = v[2];
    *bitRate = v[3] * 1024;
    return true;
}

size_t Base64Decode(const char* in, size_t length, uint8_t* out, size_t capacity) {
    uint32_t bits = 0;
    int bitCount = 0;
    size_t n = 0;
    for (size_t i = 0; i < length; ++i) {
        int v = Base64Value(in[i]);
        if (v < 0) break;
        bits = (bits << 6) | static_cast<uint32_t>(v);
        bitCount += 6;
        if (bitCount >= 8) {
            bitCount -= 8;
            if (n >= capacity) return 0;
            out[n++] = static_cast<uint8_t>(bits >> bitCount);
        }
    }
    return n;
}

size_t SdpParameterSets(const char* text, uint8_t* out, size_t capacity) {
    static const char kKey[] = "sprop-parameter-sets=";
    const char* p = std::strstr(text, kKey);
    if (!p) return 0;
    p += sizeof kKey - 1;
    size_t n = 0;
    for (;;) {
        size_t length = 0;
        while (p[length] && p[length] != ',' && p[length] != ';' && p[length] != '\r' && p[length] != '\n' &&
               p[length] != ' ')
            ++length;
        if (length > 0) {
            if (capacity - n < 5) return 0;
            out[n] = 0;
            out[n + 1] = 0;
            out[n + 2] = 0;
            out[n + 3] = 1;
            size_t decoded = Base64Decode(p, length, out + n + 4, capacity - n - 4);
            if (decoded == 0) return 0;
            n += 4 + decoded;
        }
        if (p[length] != ',') break;
        p += length + 1;
    }
    return n;
}

}  // namespace kavro
