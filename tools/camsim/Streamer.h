#pragma once
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "MediaCache.h"
#include "Options.h"
#include "Session.h"

namespace kavro::camsim {

// The one media thread: paces every playing session through the cached loop, stamping RTP
// headers (sequence numbers and time stamps run on across loop turns) and sending over UDP or
// interleaved on the session's RTSP connection.
class Streamer {
public:
    Streamer(const Options& options, const MediaCache& media, int udpSocket);
    ~Streamer();
    Streamer(const Streamer&) = delete;
    Streamer& operator=(const Streamer&) = delete;

    void Start();
    void Stop();
    void Add(const std::shared_ptr<Session>& session);
    // After it returns nothing more is sent for the session.
    void Remove(const Session* session);

private:
    void Run();
    void Pump(Session& s, std::chrono::steady_clock::time_point now);
    void SendRtp(Session& s, TrackState& t, int payloadType, uint32_t timestamp, const RtpPayload& p);

    const Options& options_;
    const MediaCache& media_;
    const int udpSocket_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<std::shared_ptr<Session>> sessions_;
    bool stop_ = false;
    std::thread thread_;
    std::vector<uint8_t> scratch_;
};

}  // namespace kavro::camsim
