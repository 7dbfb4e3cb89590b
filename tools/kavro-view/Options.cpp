#include "Options.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace kavroview {
namespace {

const char kUsage[] =
    "usage: kavro-view [options] ADDRESS...\n"
    "       kavro-view [options] --replay FILE\n"
    "\n"
    "Shows live video and sound of one or more cameras (one window each, tiled), or replays a\n"
    "recording. Without an X display, or with --headless, it prints what happens instead.\n"
    "ADDRESS is host[:port][/path] (port 554 when left out); a leading rtsp:// is dropped.\n"
    "\n"
    "options:\n"
    "  --tcp                 receive media interleaved on the RTSP connection (default: RTP over UDP)\n"
    "  --user NAME           user name for the camera's login\n"
    "  --password PW         password for the camera's login\n"
    "  --channel N           stream number on the camera, 0..255 (1)\n"
    "  --record FILE         record the camera into FILE once connected\n"
    "  --seconds N           stop that recording after N seconds (needs --record)\n"
    "  --snapshot FILE       write one picture as JPEG into FILE once connected\n"
    "  --replay FILE         replay a recording instead of connecting to a camera\n"
    "  --duration N          stop after N seconds\n"
    "  --headless            never open a window, print notifications and rates\n"
    "  --mute                do not play sound\n"
    "  --out DIR             folder for recordings and snapshots taken with keys (.)\n"
    "  --retries N           further connection attempts after a failed one; -1 = no limit (1)\n"
    "  --connect-timeout S   seconds a connection attempt may take (5)\n"
    "  --retry-interval S    seconds between connection attempts (3)\n"
    "  --help                show this text\n"
    "\n"
    "Headless, the program ends after --duration, or, without it, once the --record and\n"
    "--snapshot tasks are done, or when a replay reaches its end; with none of these it runs\n"
    "until interrupted (Ctrl-C). Every second it prints bit rate and frame rate of each\n"
    "connected camera (the replay position for a replay).\n"
    "\n"
    "keys (live): r record on/off (into --out, named after the camera and the time), s snapshot,\n"
    "  arrows pan/tilt while held, + / - zoom while held, t talk on/off, v view on/off,\n"
    "  o rotate 180, f flip, m motion regions on/off, q or Escape quit\n"
    "keys (replay): space pause/continue, n single step, [ slower, ] faster, Left/Right seek\n"
    "  -/+10 s, s snapshot, q or Escape quit; the title shows the position (current/total)\n"
    "PTZ values sent (first, second): stop 0,0; up 1,4; down 2,4; left 3,4; right 4,4;\n"
    "  zoom in 5,4; zoom out 6,4. What they do is up to the camera.\n"
    "\n"
    "exit codes:\n"
    "  0  done (also after q, Escape, Ctrl-C or SIGTERM)\n"
    "  1  a task failed: recording, snapshot, replay file, library or display start-up\n"
    "  2  bad command line\n"
    "  3  a camera could not be reached: the library gave up after --retries attempts\n"
    "  4  a camera answered camera commands but refused the video stream. The library reports\n"
    "     a refused login only as a failed connection attempt, so this is a best guess: most\n"
    "     often a wrong or missing user name or password, but also a channel the camera lacks.\n"
    "     A camera that answers no camera commands gives 3 even when the login was wrong.\n";

bool ParseInt(const std::string& s, long lo, long hi, int* out) {
    if (s.empty()) return false;
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(s.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
    *out = static_cast<int>(v);
    return true;
}

// The library's record fields hold these many characters (terminator included).
constexpr size_t kAddressField = 161;
constexpr size_t kUserField = 33;
constexpr size_t kPasswordField = 66;
constexpr size_t kPathField = 256;

}  // namespace

const char* UsageText() { return kUsage; }

bool ParseOptions(int argc, char** argv, Options* o, std::string* error) {
    auto fail = [&](const std::string& why) {
        *error = why;
        return false;
    };
    bool endOfOptions = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (endOfOptions || arg.size() < 2 || arg[0] != '-' || arg == "-") {
            if (arg.rfind("rtsp://", 0) == 0) arg.erase(0, 7);
            if (arg.empty()) return fail("empty camera address");
            if (arg.size() >= kAddressField) return fail("camera address longer than 160 characters");
            o->addresses.push_back(arg);
            continue;
        }
        if (arg == "--") {
            endOfOptions = true;
            continue;
        }
        std::string name = arg, value;
        bool inlineValue = false;
        size_t eq = arg.find('=');
        if (eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            inlineValue = true;
        }
        auto flag = [&](bool* target) {
            if (inlineValue) return fail(name + " takes no value");
            *target = true;
            return true;
        };
        auto take = [&]() {
            if (inlineValue) return true;
            if (i + 1 >= argc) return fail(name + " needs a value");
            value = argv[++i];
            return true;
        };
        auto number = [&](long lo, long hi, int* target) {
            if (!take()) return false;
            if (!ParseInt(value, lo, hi, target))
                return fail(name + ": '" + value + "' is not a whole number from " + std::to_string(lo) +
                            " to " + std::to_string(hi));
            return true;
        };
        auto path = [&](std::string* target) {
            if (!take()) return false;
            if (value.empty()) return fail(name + " needs a file name");
            if (value.size() >= kPathField) return fail(name + ": path longer than 255 characters");
            *target = value;
            return true;
        };
        bool ok;
        if (name == "--help" || name == "-h") {
            ok = flag(&o->help);
        } else if (name == "--tcp") {
            ok = flag(&o->tcp);
        } else if (name == "--headless") {
            ok = flag(&o->headless);
        } else if (name == "--mute") {
            ok = flag(&o->mute);
        } else if (name == "--user") {
            ok = take() && (value.size() < kUserField || fail("--user: longer than 32 characters"));
            if (ok) o->user = value;
        } else if (name == "--password") {
            ok = take() && (value.size() < kPasswordField || fail("--password: longer than 65 characters"));
            if (ok) o->password = value;
        } else if (name == "--channel") {
            ok = number(0, 255, &o->channel);
        } else if (name == "--record") {
            ok = path(&o->recordPath);
        } else if (name == "--seconds") {
            ok = number(1, INT_MAX / 1000, &o->recordSeconds);
            o->recordSecondsGiven = true;
        } else if (name == "--snapshot") {
            ok = path(&o->snapshotPath);
        } else if (name == "--replay") {
            ok = path(&o->replayPath);
        } else if (name == "--duration") {
            ok = number(1, INT_MAX / 1000, &o->durationSec);
        } else if (name == "--out") {
            ok = take() && (!value.empty() || fail("--out needs a folder"));
            if (ok) o->outDir = value;
        } else if (name == "--retries") {
            ok = number(-1, 1000000, &o->retries);
        } else if (name == "--connect-timeout") {
            ok = number(1, 3600, &o->connectTimeoutSec);
        } else if (name == "--retry-interval") {
            ok = number(0, 3600, &o->retryIntervalSec);
        } else {
            return fail("unknown option '" + name + "'");
        }
        if (!ok) return false;
    }
    if (o->help) return true;
    if (!o->replayPath.empty()) {
        if (!o->addresses.empty()) return fail("--replay takes no camera address");
        if (!o->recordPath.empty() || !o->snapshotPath.empty())
            return fail("--record and --snapshot need a camera, not --replay");
    } else if (o->addresses.empty()) {
        return fail("no camera address given");
    }
    if (o->recordSecondsGiven && o->recordPath.empty()) return fail("--seconds needs --record FILE");
    if (o->addresses.size() > 1 && (!o->recordPath.empty() || !o->snapshotPath.empty()))
        return fail("--record and --snapshot take a single camera address");
    if (!o->recordPath.empty() && o->recordPath == o->snapshotPath)
        return fail("--record and --snapshot name the same file");
    return true;
}

}  // namespace kavroview
