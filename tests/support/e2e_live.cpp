#include "support/e2e_live.h"

#include <strings.h>

#include <cstdio>
#include <cstring>
#include <sstream>

namespace kavro::test {

using Clock = std::chrono::steady_clock;

E2eNotifications& E2eNotifications::Instance() {
    static E2eNotifications log;
    return log;
}

int32_t E2eNotifications::Callback(uint32_t handle, int32_t code, int32_t argument, int32_t) {
    E2eNotifications& self = Instance();
    {
        std::lock_guard<std::mutex> g(self.mutex_);
        self.log_.push_back({handle, code, argument});
    }
    self.changed_.notify_all();
    return 0;
}

bool E2eNotifications::WaitFor(uint32_t handle, int32_t code, int32_t argument, int timeoutMs) {
    std::unique_lock<std::mutex> g(mutex_);
    return changed_.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] {
        for (const auto& n : log_)
            if (n.handle == handle && n.code == code && n.argument == argument) return true;
        return false;
    });
}

size_t E2eNotifications::Count(uint32_t handle, int32_t code, int32_t argument) {
    std::lock_guard<std::mutex> g(mutex_);
    size_t count = 0;
    for (const auto& n : log_)
        if (n.handle == handle && n.code == code && n.argument == argument) ++count;
    return count;
}

std::vector<E2eNotification> E2eNotifications::Of(uint32_t handle) {
    std::lock_guard<std::mutex> g(mutex_);
    std::vector<E2eNotification> out;
    for (const auto& n : log_)
        if (n.handle == handle) out.push_back(n);
    return out;
}

std::string E2eNotifications::Describe(uint32_t handle) {
    std::string s = "notifications of " + std::to_string(handle) + ":";
    for (const auto& n : Of(handle)) s += " " + std::to_string(n.code) + "/" + std::to_string(n.argument);
    return s;
}

KAVRO_CLIENT_RECORD E2eRecord(uint16_t transport, uint16_t port, const std::string& path) {
    KAVRO_CLIENT_RECORD r;
    std::memset(&r, 0, sizeof r);
    r.transport = transport;
    r.viewOn = 1;
    r.videoWnd = 0;
    std::snprintf(r.address, sizeof r.address, "127.0.0.1:%u%s%s", port, path.empty() ? "" : "/",
                  path.c_str());
    return r;
}

E2eRates E2eSampleRates(KAVRO_HANDLE h, int seconds) {
    E2eRates r;
    for (int i = 0; i < seconds; ++i) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        int32_t kbps = -1, fps = -1;
        if (KAVRO_GetBitStreamInfo(h, &kbps, &fps) != 1) continue;
        r.kbpsSamples.push_back(kbps);
        r.fpsSamples.push_back(fps);
    }
    for (size_t i = 0; i < r.kbpsSamples.size(); ++i) {
        r.kbps += r.kbpsSamples[i];
        r.fps += r.fpsSamples[i];
    }
    if (!r.kbpsSamples.empty()) {
        r.kbps /= static_cast<double>(r.kbpsSamples.size());
        r.fps /= static_cast<double>(r.fpsSamples.size());
    }
    return r;
}

namespace {

std::string HeaderValue(const std::string& reply, const std::string& name) {
    std::istringstream in(reply);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) break;
        if (line.size() > name.size() && strncasecmp(line.c_str(), name.c_str(), name.size()) == 0 &&
            line[name.size()] == ':') {
            size_t v = line.find_first_not_of(' ', name.size() + 1);
            return v == std::string::npos ? "" : line.substr(v);
        }
    }
    return "";
}

// The a=control of the first video section of an SDP.
std::string VideoControl(const std::string& sdp) {
    size_t m = sdp.find("m=video");
    if (m == std::string::npos) return "";
    size_t end = sdp.find("\nm=", m);
    size_t c = sdp.find("a=control:", m);
    if (c == std::string::npos || (end != std::string::npos && c > end)) return "";
    c += 10;
    size_t eol = sdp.find_first_of("\r\n", c);
    return sdp.substr(c, eol == std::string::npos ? std::string::npos : eol - c);
}

}  // namespace

E2eStreamCounter::~E2eStreamCounter() { Stop(); }

bool E2eStreamCounter::Start(uint16_t port, const std::string& path, std::string* error) {
    const std::string url = "rtsp://127.0.0.1:" + std::to_string(port) + "/" + path;
    if (!client_.Connect(port)) {
        *error = "connect";
        return false;
    }
    if (!client_.Exchange("DESCRIBE " + url + " RTSP/1.0\r\nCSeq: 1\r\nAccept: application/sdp\r\n\r\n",
                          &describe_) ||
        describe_.find(" 200 ") == std::string::npos) {
        *error = "DESCRIBE: " + describe_;
        return false;
    }
    std::string control = VideoControl(describe_);
    std::string base = HeaderValue(describe_, "Content-Base");
    if (base.empty()) base = url;
    if (!base.empty() && base.back() != '/') base += '/';
    const std::string track = control.rfind("rtsp://", 0) == 0 ? control : base + control;
    std::string reply;
    if (!client_.Exchange(
            "SETUP " + track +
                " RTSP/1.0\r\nCSeq: 2\r\nTransport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n\r\n",
            &reply) ||
        reply.find(" 200 ") == std::string::npos) {
        *error = "SETUP " + track + ": " + reply;
        return false;
    }
    std::string session = HeaderValue(reply, "Session");
    session = session.substr(0, session.find(';'));
    if (!client_.Exchange(
            "PLAY " + base + " RTSP/1.0\r\nCSeq: 3\r\nSession: " + session + "\r\nRange: npt=0.000-\r\n\r\n",
            &reply) ||
        reply.find(" 200 ") == std::string::npos) {
        *error = "PLAY: " + reply;
        return false;
    }
    thread_ = std::thread([this] { Run(); });
    return true;
}

void E2eStreamCounter::Run() {
    std::vector<uint8_t> data;
    uint8_t channel = 0;
    while (!stop_) {
        if (!client_.ReadFrame(&channel, &data, 200)) continue;
        RtpPacket p;
        if (channel != 0 || !ParseRtp(data.data(), data.size(), &p)) continue;
        payloadBytes_ += p.payload.size();
        if (p.marker) ++pictures_;
    }
}

void E2eStreamCounter::Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    client_.Sock().Close();
}

E2eStreamCounter::Totals E2eStreamCounter::Now() const {
    return {payloadBytes_.load(), pictures_.load(), Clock::now()};
}

double E2eKbps(const E2eStreamCounter::Totals& a, const E2eStreamCounter::Totals& b) {
    const double seconds = std::chrono::duration<double>(b.at - a.at).count();
    return seconds > 0 ? static_cast<double>(b.payloadBytes - a.payloadBytes) * 8.0 / 1024.0 / seconds : 0;
}

double E2eFps(const E2eStreamCounter::Totals& a, const E2eStreamCounter::Totals& b) {
    const double seconds = std::chrono::duration<double>(b.at - a.at).count();
    return seconds > 0 ? static_cast<double>(b.pictures - a.pictures) / seconds : 0;
}

}  // namespace kavro::test
