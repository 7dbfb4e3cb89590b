#include "Streamer.h"

#include <sys/socket.h>

#include <algorithm>

namespace kavro::camsim {
namespace {
using Clock = std::chrono::steady_clock;
constexpr auto kTick = std::chrono::milliseconds(4);
// A session that fell this far behind (a stalled machine) skips ahead instead of bursting.
constexpr int64_t kMaxCatchUpMs = 1000;
}  // namespace

Streamer::Streamer(const Options& options, const MediaCache& media, int udpSocket)
    : options_(options), media_(media), udpSocket_(udpSocket) {}

Streamer::~Streamer() { Stop(); }

void Streamer::Start() {
    thread_ = std::thread([this] { Run(); });
}

void Streamer::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void Streamer::Add(const std::shared_ptr<Session>& session) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        session->playStart = Clock::now();
        sessions_.push_back(session);
    }
    wake_.notify_all();
}

void Streamer::Remove(const Session* session) {
    std::lock_guard<std::mutex> lock(mutex_);
    sessions_.erase(std::remove_if(sessions_.begin(), sessions_.end(),
                                   [&](const std::shared_ptr<Session>& s) { return s.get() == session; }),
                    sessions_.end());
}

void Streamer::Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_) {
        const auto now = Clock::now();
        for (auto& s : sessions_) Pump(*s, now);
        if (sessions_.empty())
            wake_.wait(lock);
        else
            wake_.wait_for(lock, kTick);
    }
}

void Streamer::Pump(Session& s, Clock::time_point now) {
    const int64_t elapsedMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(now - s.playStart).count();
    if (s.video.setUp && !s.videoStopped) {
        if (options_.stopVideoAfterSec >= 0 &&
            elapsedMs >= static_cast<int64_t>(options_.stopVideoAfterSec * 1000)) {
            s.videoStopped = true;
        } else {
            const auto& frames = media_.VideoFrames();
            const int64_t due = elapsedMs * options_.fps / 1000 + 1;
            s.video.nextIndex = std::max(s.video.nextIndex, due - kMaxCatchUpMs * options_.fps / 1000);
            for (; s.video.nextIndex < due; ++s.video.nextIndex) {
                const int64_t i = s.video.nextIndex;
                const uint32_t ts = s.video.firstTimestamp + static_cast<uint32_t>(i * 90000 / options_.fps);
                for (const auto& p :
                     frames[static_cast<size_t>(i % static_cast<int64_t>(frames.size()))].packets)
                    SendRtp(s, s.video, media_.VideoPayloadType(), ts, p);
            }
        }
    }
    if (s.audio.setUp && media_.HasAudio()) {
        const auto& packets = media_.AudioPackets();
        const int64_t due = elapsedMs / options_.audioPacketMs + 1;
        s.audio.nextIndex = std::max(s.audio.nextIndex, due - kMaxCatchUpMs / options_.audioPacketMs);
        for (; s.audio.nextIndex < due; ++s.audio.nextIndex) {
            const int64_t i = s.audio.nextIndex;
            const uint32_t ts =
                s.audio.firstTimestamp + static_cast<uint32_t>(i * media_.AudioSamplesPerPacket());
            SendRtp(s, s.audio, media_.AudioPayloadType(), ts,
                    packets[static_cast<size_t>(i % static_cast<int64_t>(packets.size()))]);
        }
    }
    if (s.connection) s.connection->Flush();
}

void Streamer::SendRtp(Session& s, TrackState& t, int payloadType, uint32_t ts, const RtpPayload& p) {
    const size_t off = t.tcp ? 4 : 0;
    const size_t rtpLen = 12 + p.data.size();
    scratch_.resize(off + rtpLen);
    uint8_t* b = scratch_.data();
    if (t.tcp) {
        b[0] = '$';
        b[1] = t.channel;
        b[2] = static_cast<uint8_t>(rtpLen >> 8);
        b[3] = static_cast<uint8_t>(rtpLen);
    }
    uint8_t* h = b + off;
    h[0] = 0x80;
    h[1] = static_cast<uint8_t>((p.marker ? 0x80 : 0) | (payloadType & 0x7F));
    h[2] = static_cast<uint8_t>(t.seq >> 8);
    h[3] = static_cast<uint8_t>(t.seq);
    h[4] = static_cast<uint8_t>(ts >> 24);
    h[5] = static_cast<uint8_t>(ts >> 16);
    h[6] = static_cast<uint8_t>(ts >> 8);
    h[7] = static_cast<uint8_t>(ts);
    h[8] = static_cast<uint8_t>(t.ssrc >> 24);
    h[9] = static_cast<uint8_t>(t.ssrc >> 16);
    h[10] = static_cast<uint8_t>(t.ssrc >> 8);
    h[11] = static_cast<uint8_t>(t.ssrc);
    std::copy(p.data.begin(), p.data.end(), h + 12);
    ++t.seq;
    if (t.tcp) {
        if (s.connection) s.connection->Send(b, off + rtpLen, true);
    } else {
        // A full socket buffer drops the packet, as a network would.
        ::sendto(udpSocket_, b, rtpLen, MSG_DONTWAIT | MSG_NOSIGNAL,
                 reinterpret_cast<const sockaddr*>(&t.dest), sizeof t.dest);
    }
}

}  // namespace kavro::camsim
