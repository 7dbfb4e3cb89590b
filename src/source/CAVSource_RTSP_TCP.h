#pragma once
#include <atomic>
#include <cstdint>
#include <memory>

#include "source/CAVSource.h"
#include "source/InterleavedReader.h"

namespace kavro {

class RtspSession;
class CEventReceiver2;
class RtpVideoDepacketizer;
class RtpAudioDepacketizer;

// Live source with RTP interleaved on the RTSP connection: one thread connects, starts the
// display (and, unless the address is a full URL, the event channel), then reads and
// demultiplexes the connection, and reconnects after a pause when it fails. Progress goes to the
// host as notification code 1 and client `state`.
//
// Use: set client, videoConduit, audioConduit; Init(); Start(); ... Stop(); Release().
class CAVSource_RTSP_TCP : public CAVSource {
public:
    static constexpr uint32_t kStopSocketTimeoutMs = 2000;
    static constexpr size_t kFrameSize = 2048;
    static constexpr int kVideoChannel = 0;
    static constexpr int kAudioChannel = 2;

    CAVSource_RTSP_TCP();
    ~CAVSource_RTSP_TCP() override;

    int Init() override;
    void Release() override;
    int Run() override;
    int Stop() override;

    std::unique_ptr<RtspSession> session;
    std::atomic<int32_t> connected{0};
    std::unique_ptr<CEventReceiver2> eventReceiver;

private:
    // Receives on the session's RTSP connection.
    class SessionBytes : public ByteSource {
    public:
        explicit SessionBytes(CAVSource_RTSP_TCP& owner) : owner_(owner) {}
        int Receive(void* buffer, size_t capacity) override;

    private:
        CAVSource_RTSP_TCP& owner_;
    };

    // The pause between attempts; true when a stop was requested meanwhile.
    bool Pause();
    // Reads and demultiplexes until the connection fails (true) or a stop is requested (false).
    bool Stream(bool eventStarted);

    std::unique_ptr<RtpVideoDepacketizer> video_;
    std::unique_ptr<RtpAudioDepacketizer> audio_;
    SessionBytes bytes_{*this};
    InterleavedReader reader_{bytes_};
    uint8_t frame_[kFrameSize] = {};
};

}  // namespace kavro
