#pragma once
#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/Event.h"
#include "source/CAVSource.h"

namespace kavro {

class RtspSession;
class CRTPVideoReceiver;
class CRTPAudioReceiver;
class CEventReceiver2;

// Live source with RTP over UDP: the source thread connects, starts the display, both receivers
// and the event channel, then supervises until stopped or the video stream is lost, and
// reconnects after a pause. Progress goes to the host as notification code 1 and client `state`.
//
// Use: set client, videoConduit, audioConduit; Init(); Start(); ... Stop(); Release().
class CAVSource_RTSP_UDP : public CAVSource {
public:
    static constexpr uint32_t kStopSocketTimeoutMs = 500;

    CAVSource_RTSP_UDP();
    ~CAVSource_RTSP_UDP() override;

    int Init() override;
    void Release() override;
    int Run() override;
    int Stop() override;

    std::unique_ptr<RtspSession> session;
    std::unique_ptr<CRTPVideoReceiver> videoReceiver;
    std::unique_ptr<CRTPAudioReceiver> audioReceiver;
    std::unique_ptr<CEventReceiver2> eventReceiver;
    Event stopEvent{false, false};
    Event lostEvent{false, false};
    std::atomic<int32_t> connected{0};

private:
    // The pause between attempts; true when a stop was requested meanwhile.
    bool Pause();
    // Waits for a stop or a lost stream, keeping the server's session alive meanwhile when no
    // event channel does so. true: stream lost.
    bool Supervise(bool eventStarted);
    void StopReceivers();
    void CleanUp(bool eventStarted, bool pipelineStarted);
};

}  // namespace kavro
