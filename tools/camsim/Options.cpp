#include "Options.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kavro::camsim {
namespace {

const char kUsage[] =
    "usage: camsim [options]\n"
    "  --port P                 TCP port (0 = pick a free one; printed as \"PORT <n>\")\n"
    "  --video h264|jpeg        video codec (h264)\n"
    "  --audio pcma|pcmu|g726-16|g726-24|g726-32|g726-40|none   audio codec (pcma)\n"
    "  --size WxH               picture size, multiples of 8 up to 2040 (352x288)\n"
    "  --fps N                  frames per second (25)\n"
    "  --gop N                  H.264 key picture interval (25)\n"
    "  --bitrate KBPS           H.264 bit rate (512)\n"
    "  --mtu BYTES              largest RTP packet, header included (1400)\n"
    "  --jpeg-q Q               RTP/JPEG Q: 128..255 tables in-band; 76 without tables (255)\n"
    "  --audio-packet-ms 20|40  audio packet duration (20)\n"
    "  --stap-a                 send SPS+PPS as one STAP-A packet\n"
    "  --no-banner              leave the size/rate banner out of the Server header\n"
    "  --stop-video-after SEC   stop video of a session SEC seconds after its PLAY\n"
    "  --close-after SEC        close each connection SEC seconds after accepting it\n"
    "  --refuse-first K         close the first K connections at once\n"
    "  --auth USER:PASS         demand Digest authentication\n"
    "  --auth-basic-first       offer a Basic challenge before the Digest one\n"
    "  --realm TEXT             Digest realm (camsim)\n"
    "  --nonce TEXT             Digest nonce (random)\n"
    "  --session-id TEXT        session identifier to hand out (random digits)\n"
    "  --log FILE               append one line per request received\n";

bool ParseDouble(const char* s, double* out) {
    char* end = nullptr;
    errno = 0;
    double v = std::strtod(s, &end);
    if (errno != 0 || end == s || *end != '\0' || v < 0) return false;
    *out = v;
    return true;
}

bool ParseInt(const char* s, long lo, long hi, int* out) {
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(s, &end, 10);
    if (errno != 0 || end == s || *end != '\0' || v < lo || v > hi) return false;
    *out = static_cast<int>(v);
    return true;
}

// Texts that end up quoted inside protocol headers must not break the header.
bool IsHeaderSafe(const std::string& s) {
    for (char c : s)
        if (c == '"' || c == '\r' || c == '\n' || c == '\0') return false;
    return true;
}

}  // namespace

bool ParseOptions(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](const char** v) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "camsim: %s needs a value\n", a.c_str());
                return false;
            }
            *v = argv[++i];
            return true;
        };
        const char* v = nullptr;
        bool ok = true;
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stderr);
            return false;
        } else if (a == "--stap-a") {
            o->stapA = true;
        } else if (a == "--no-banner") {
            o->banner = false;
        } else if (a == "--auth-basic-first") {
            o->authBasicFirst = true;
        } else if (!value(&v)) {
            return false;
        } else if (a == "--port") {
            int p = 0;
            ok = ParseInt(v, 0, 65535, &p);
            o->port = static_cast<uint16_t>(p);
        } else if (a == "--video") {
            std::string s = v;
            if (s == "h264")
                o->video = VideoCodec::kH264;
            else if (s == "jpeg")
                o->video = VideoCodec::kJpeg;
            else
                ok = false;
        } else if (a == "--audio") {
            std::string s = v;
            if (s == "none")
                o->audio = AudioCodec::kNone;
            else if (s == "pcma")
                o->audio = AudioCodec::kPcma;
            else if (s == "pcmu")
                o->audio = AudioCodec::kPcmu;
            else if (s == "g726-16")
                o->audio = AudioCodec::kG726_16;
            else if (s == "g726-24")
                o->audio = AudioCodec::kG726_24;
            else if (s == "g726-32")
                o->audio = AudioCodec::kG726_32;
            else if (s == "g726-40")
                o->audio = AudioCodec::kG726_40;
            else
                ok = false;
        } else if (a == "--size") {
            int w = 0, h = 0;
            char tail = 0;
            ok = std::sscanf(v, "%dx%d%c", &w, &h, &tail) == 2 && w >= 16 && h >= 16 && w <= 2040 &&
                 h <= 2040 && w % 8 == 0 && h % 8 == 0;
            if (!ok) std::fprintf(stderr, "camsim: --size takes multiples of 8 from 16 to 2040\n");
            o->width = w;
            o->height = h;
        } else if (a == "--fps") {
            ok = ParseInt(v, 1, 60, &o->fps);
        } else if (a == "--gop") {
            ok = ParseInt(v, 1, 600, &o->gop);
        } else if (a == "--bitrate") {
            ok = ParseInt(v, 16, 100000, &o->bitrateKbps);
        } else if (a == "--mtu") {
            ok = ParseInt(v, 128, 16000, &o->mtu);
        } else if (a == "--jpeg-q") {
            ok = ParseInt(v, 1, 255, &o->jpegQ);
        } else if (a == "--audio-packet-ms") {
            ok = ParseInt(v, 20, 40, &o->audioPacketMs) && (o->audioPacketMs == 20 || o->audioPacketMs == 40);
        } else if (a == "--stop-video-after") {
            ok = ParseDouble(v, &o->stopVideoAfterSec);
        } else if (a == "--close-after") {
            ok = ParseDouble(v, &o->closeAfterSec);
        } else if (a == "--refuse-first") {
            ok = ParseInt(v, 0, 1000000, &o->refuseFirst);
        } else if (a == "--auth") {
            const char* colon = std::strchr(v, ':');
            ok = colon != nullptr && colon != v;
            if (ok) {
                o->authEnabled = true;
                o->authUser.assign(v, colon);
                o->authPass.assign(colon + 1);
                ok = IsHeaderSafe(o->authUser);
            }
        } else if (a == "--realm") {
            o->realm = v;
            ok = IsHeaderSafe(o->realm);
        } else if (a == "--nonce") {
            o->nonce = v;
            ok = !o->nonce.empty() && IsHeaderSafe(o->nonce);
        } else if (a == "--session-id") {
            o->sessionId = v;
            ok = !o->sessionId.empty() && o->sessionId.find_first_of(" ;\r\n\t") == std::string::npos;
        } else if (a == "--log") {
            o->logPath = v;
        } else {
            std::fprintf(stderr, "camsim: unknown option %s\n%s", a.c_str(), kUsage);
            return false;
        }
        if (!ok) {
            std::fprintf(stderr, "camsim: bad value for %s: %s\n", a.c_str(), v ? v : "");
            return false;
        }
    }
    return true;
}

int AudioPayloadType(AudioCodec c) {
    switch (c) {
        case AudioCodec::kPcmu:
            return 0;
        case AudioCodec::kPcma:
            return 8;
        default:
            return 97;
    }
}

const char* AudioEncodingName(AudioCodec c) {
    switch (c) {
        case AudioCodec::kPcma:
            return "PCMA";
        case AudioCodec::kPcmu:
            return "PCMU";
        case AudioCodec::kG726_16:
            return "G726-16";
        case AudioCodec::kG726_24:
            return "G726-24";
        case AudioCodec::kG726_32:
            return "G726-32";
        case AudioCodec::kG726_40:
            return "G726-40";
        case AudioCodec::kNone:
            break;
    }
    return "";
}

int AudioBitsPerSample(AudioCodec c) {
    switch (c) {
        case AudioCodec::kG726_16:
            return 2;
        case AudioCodec::kG726_24:
            return 3;
        case AudioCodec::kG726_32:
            return 4;
        case AudioCodec::kG726_40:
            return 5;
        default:
            return 8;
    }
}

}  // namespace kavro::camsim
