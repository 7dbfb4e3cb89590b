#include "MctpHandler.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "MctpEvents.h"
#include "MctpTalk.h"
#include "Options.h"
#include "RequestLog.h"

namespace kavro::camsim {
namespace {

// A request without its "END" line after this many bytes is not one the camera serves.
constexpr size_t kRequestLimit = 8192;
constexpr size_t kReplyLimit = 1024;

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t lf = text.find('\n', start);
        if (lf == std::string::npos) lf = text.size();
        std::string line = text.substr(start, lf - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        start = lf + 1;
    }
    return lines;
}

// Where the request that begins `pending` ends (after its "END\n" line), or npos.
size_t RequestEnd(const std::string& pending) {
    size_t at = pending.find("\nEND\n");
    if (at != std::string::npos) return at + 5;
    at = pending.find("\nEND\r\n");
    return at == std::string::npos ? std::string::npos : at + 6;
}

bool StartsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
    char buf[256];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    return n < 0 ? std::string() : std::string(buf, std::min<size_t>(static_cast<size_t>(n), sizeof buf - 1));
}

bool ValidChannel(long ch) { return ch >= 0 && ch <= 255; }

}  // namespace

MctpSettings::MctpSettings() = default;

void MctpSettings::SetVideo(int ch, int x, int y, int z) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto& v = channels_[static_cast<size_t>(ch) & 0xFF].video;
    v[0] = x;
    v[1] = y;
    v[2] = z;
}

void MctpSettings::GetVideo(int ch, int* x, int* y, int* z) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto& v = channels_[static_cast<size_t>(ch) & 0xFF].video;
    *x = v[0];
    *y = v[1];
    *z = v[2];
}

void MctpSettings::SetRegions(int ch, const Regions& regions) {
    std::lock_guard<std::mutex> lock(mutex_);
    channels_[static_cast<size_t>(ch) & 0xFF].regions = regions;
}

MctpSettings::Regions MctpSettings::GetRegions(int ch) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return channels_[static_cast<size_t>(ch) & 0xFF].regions;
}

void MctpSettings::SetMotionRunning(int ch, bool running) {
    std::lock_guard<std::mutex> lock(mutex_);
    channels_[static_cast<size_t>(ch) & 0xFF].motionRunning = running;
}

std::string EscapeBytes(const std::string& bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        switch (c) {
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\\':
                out += "\\\\";
                break;
            default:
                if (c < 0x20 || c >= 0x7F)
                    out += Format("\\x%02X", c);
                else
                    out += static_cast<char>(c);
        }
    }
    return out;
}

bool ParseAtValues(const std::string& line, std::vector<long>* out) {
    out->clear();
    if (line.empty() || line[0] != '@') return false;
    size_t pos = 1;
    while (pos < line.size()) {
        size_t at = line.find('@', pos);
        std::string field = line.substr(pos, at == std::string::npos ? std::string::npos : at - pos);
        char* end = nullptr;
        errno = 0;
        long v = std::strtol(field.c_str(), &end, 10);
        if (field.empty() || errno != 0 || *end != '\0') return false;
        out->push_back(v);
        if (at == std::string::npos) break;
        pos = at + 1;
    }
    return true;
}

MctpHandler::MctpHandler(const ServerContext& context, MctpSettings* settings, MctpEvents* events)
    : context_(context), settings_(settings), events_(events) {}

bool MctpHandler::IsMctpLine(const std::string& firstLine) { return StartsWith(firstLine, "CMD:"); }

std::string MctpHandler::Answer(const std::string& request, bool* talk, int* registerChannel) {
    *talk = false;
    *registerChannel = -1;
    const std::vector<std::string> lines = SplitLines(request);
    if (lines.size() < 2) return {};
    const std::string& head = lines[0];
    std::vector<long> v;
    const bool haveValues = lines.size() >= 3 && ParseAtValues(lines[1], &v);

    if (StartsWith(head, "CMD:PTZ ")) {
        long ch = haveValues && !v.empty() ? v[0] : 0;
        return Format("CMD:PTZ MCTP/1.0\n@%ld@1\nEND\n", ch);
    }
    if (StartsWith(head, "CMD:VCTRL ")) {
        if (!haveValues || v.size() != 5 || !ValidChannel(v[1])) return {};
        const int ch = static_cast<int>(v[1]);
        if (v[0] == 2) {
            const bool ok = v[2] >= 0 && v[2] <= 255 && v[3] >= 0 && v[3] <= 255 && v[4] >= 0 && v[4] <= 255;
            if (ok)
                settings_->SetVideo(ch, static_cast<int>(v[2]), static_cast<int>(v[3]),
                                    static_cast<int>(v[4]));
            return Format("CMD:VCTRL MCTP/1.0\n@2@%d@%d@\nEND\n", ch, ok ? 1 : 0);
        }
        if (v[0] == 1) {
            int x = 0, y = 0, z = 0;
            settings_->GetVideo(ch, &x, &y, &z);
            return Format("CMD:VCTRL MCTP/1.0\n@1@%d@%d@%d@%d@\nEND\n", ch, x, y, z);
        }
        return {};
    }
    if (StartsWith(head, "CMD:MD ")) {
        if (!haveValues || v.size() != 8 || !ValidChannel(v[1])) return {};
        const int op = static_cast<int>(v[0]);
        const int ch = static_cast<int>(v[1]);
        if (op == 2) {
            const auto regions = settings_->GetRegions(ch);
            std::string reply = "CMD:MD MCTP/1.0\n";
            for (int i = 0; i < 16; ++i) {
                const auto& r = regions[static_cast<size_t>(i)];
                reply += Format("@2@%d@%d@%d@%d@%d@%d@%d\n", ch, i, r.enable, r.rect[0], r.rect[1], r.rect[2],
                                r.rect[3]);
            }
            return reply + "END\n";
        }
        if (op == 1) {
            // All 16 region lines, in order, for the one channel; anything else changes nothing.
            MctpSettings::Regions regions;
            bool ok = lines.size() == 18 && lines[17] == "END";
            for (size_t i = 0; ok && i < 16; ++i) {
                std::vector<long> r;
                ok = ParseAtValues(lines[1 + i], &r) && r.size() == 8 && r[0] == 1 && r[1] == ch &&
                     r[2] == static_cast<long>(i) && r[3] >= 0 && r[3] <= 255;
                for (size_t k = 4; ok && k < 8; ++k) ok = r[k] >= INT32_MIN && r[k] <= INT32_MAX;
                if (!ok) break;
                regions[i].enable = static_cast<int>(r[3]);
                for (size_t k = 0; k < 4; ++k) regions[i].rect[k] = static_cast<int32_t>(r[4 + k]);
            }
            if (ok) settings_->SetRegions(ch, regions);
            return Format("CMD:MD MCTP/1.0\n@1@%d@%d@0@0@0@0@0\nEND\n", ch, ok ? 1 : 0);
        }
        if (op == 3 || op == 4) {
            settings_->SetMotionRunning(ch, op == 3);
            return Format("CMD:MD MCTP/1.0\n@%d@%d@1@0@0@0@0@0\nEND\n", op, ch);
        }
        return {};
    }
    if (StartsWith(head, "CMD:ALARM ")) {
        if (!haveValues || v.size() != 2 || v[0] != 1) return {};
        return Format("CMD:ALARM MCTP/1.0\n@1@%ld@1\nEND\n", v[1]);
    }
    if (StartsWith(head, "CMD:ALIVE ")) {
        if (lines.size() == 2) return {};  // keep-alive
        // "@<session id>@<channel>": the identifier is text, only the channel is a number.
        const std::string& line = lines[1];
        size_t last = line.rfind('@');
        if (line.empty() || line[0] != '@' || last == 0 || last == std::string::npos) return {};
        std::vector<long> chv;
        if (!ParseAtValues(line.substr(last), &chv) || chv.size() != 1 || !ValidChannel(chv[0])) return {};
        *registerChannel = static_cast<int>(chv[0]);
        return Format("CMD:ALIVE MCTP/1.0\n@1@%ld@1\nEND\n", chv[0]);
    }
    if (StartsWith(head, "CMD:TALK ")) {
        if (!haveValues || v.size() != 2) return {};
        *talk = true;
        return Format("CMD:TALK MCTP/1.0\n@%d@1@\n", context_.options->talkTwoWay ? 1 : 0);
    }
    return {};
}

void MctpHandler::Serve(const std::shared_ptr<Connection>& connection, std::string pending) {
    const Options& o = *context_.options;
    bool registered = false;
    char buf[2048];
    for (;;) {
        size_t end = RequestEnd(pending);
        if (end == std::string::npos) {
            if (pending.size() > kRequestLimit) {
                if (context_.log)
                    context_.log->Write("MCTP-OVERSIZE\t" + EscapeBytes(pending.substr(0, 256)));
                break;
            }
            int n = connection->Read(buf, sizeof buf, 200);
            if (n < 0) break;
            pending.append(buf, static_cast<size_t>(n));
            continue;
        }
        const std::string request = pending.substr(0, end);
        pending.erase(0, end);
        if (context_.log) context_.log->Write("MCTP\t" + EscapeBytes(request));
        if (o.mctpNoReply) continue;

        bool talk = false;
        int channel = -1;
        const std::string reply = Answer(request, &talk, &channel);
        // The library takes every reply in one receive of at most 1024 bytes.
        if (reply.size() > kReplyLimit) break;
        if (!reply.empty() && !connection->Send(reply.data(), reply.size(), false)) break;
        if (channel >= 0 && events_ && !registered) {
            events_->Add(connection, channel);
            registered = true;
        }
        if (talk) {
            MctpTalk(o, context_.log).Run(connection, std::move(pending));
            break;
        }
    }
    if (registered) events_->Remove(connection.get());
}

}  // namespace kavro::camsim
