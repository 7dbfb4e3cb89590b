#include "source/CAVSource_RTSP_UDP.h"

#include "api/ClientHandle.h"
#include "api/Library.h"
#include "api/Notification.h"
#include "control/CEventReceiver2.h"
#include "display/CAVDisplay.h"
#include "platform/Tick.h"
#include "source/CRTPAudioReceiver.h"
#include "source/CRTPVideoReceiver.h"
#include "source/RtspSession.h"

namespace kavro {

namespace {
constexpr int32_t kCodeConnection = 1;
constexpr int32_t kConnected = 0;
constexpr int32_t kAttemptFailed = 2;
constexpr int32_t kStreamLost = 3;
constexpr int32_t kRetrying = 4;
constexpr int32_t kGaveUp = 5;
}  // namespace

CAVSource_RTSP_UDP::CAVSource_RTSP_UDP() = default;

CAVSource_RTSP_UDP::~CAVSource_RTSP_UDP() {
    Stop();
    Release();
}

int CAVSource_RTSP_UDP::Init() {
    if (!client) return 0;
    session.reset(new RtspSession(client, GetConnectTimeoutSec()));
    session->stopFlag = &stopRequested;
    videoReceiver.reset(new CRTPVideoReceiver(&lostEvent, session.get(), videoConduit, this, client));
    audioReceiver.reset(new CRTPAudioReceiver(session.get(), audioConduit, this, client));
    eventReceiver.reset(new CEventReceiver2(client));
    if (!display) display = new CAVDisplay();
    display->Attach(client, this);
    return 1;
}

void CAVSource_RTSP_UDP::Release() {
    if (session) session->CloseSockets();
    videoReceiver.reset();
    audioReceiver.reset();
    eventReceiver.reset();
    delete display;
    display = nullptr;
    session.reset();
}

int CAVSource_RTSP_UDP::Stop() {
    stopRequested = 1;
    stopEvent.Set();
    if (session) {
        session->SetSocketTimeouts(kStopSocketTimeoutMs, kStopSocketTimeoutMs);
        session->CloseMediaSockets();
        if (!connected) session->CloseSockets();
    }
    // A registration still waiting for the camera gives up at once.
    if (eventReceiver) eventReceiver->WakeUp();
    return StopAndWait();
}

bool CAVSource_RTSP_UDP::Pause() {
    const int32_t steps = GetRetryIntervalSec() * 10;
    for (int32_t i = 0; i < steps; ++i) {
        if (stopRequested) return true;
        stopEvent.Wait(100);
    }
    return stopRequested != 0;
}

bool CAVSource_RTSP_UDP::Supervise(bool eventStarted) {
    Event* events[] = {&stopEvent, &lostEvent};
    const uint32_t keepAliveMs = session->KeepAliveIntervalMs();
    uint32_t lastKeepAlive = GetTick();
    for (;;) {
        uint32_t wait = kInfinite;
        if (!eventStarted) {
            uint32_t since = GetTick() - lastKeepAlive;
            wait = since >= keepAliveMs ? 0 : keepAliveMs - since;
        }
        int which = Event::WaitAny(events, 2, wait);
        if (stopRequested) return false;
        if (which == 1) return true;
        if (which == 0) return false;
        // The reply, whatever it says, does not matter: only that the server hears from us.
        session->SendKeepAlive();
        lastKeepAlive = GetTick();
    }
}

void CAVSource_RTSP_UDP::StopReceivers() {
    // A receiver blocked on a silent socket would otherwise hold us for its whole time-out.
    session->CloseMediaSockets();
    videoReceiver->Stop();
    audioReceiver->Stop();
}

void CAVSource_RTSP_UDP::CleanUp(bool eventStarted, bool pipelineStarted) {
    session->SetSocketTimeouts(kStopSocketTimeoutMs, kStopSocketTimeoutMs);
    session->RtspTeardown();
    session->CloseSockets();
    if (eventStarted) eventReceiver->Stop();
    if (pipelineStarted) display->StopAndWait();
}

int CAVSource_RTSP_UDP::Run() {
    if (!session || !display || !client) return 0;
    int32_t attempts = GetRetryCount();
    bool firstPass = true;
    for (;;) {
        if (IsRecording()) StopRecord();
        if (IsAlarmRecording()) StopAlarmRecord();
        if (stopRequested) break;
        if (!firstPass && attempts != -1) --attempts;
        firstPass = false;
        lostEvent.Reset();
        connected = 0;
        client->state = 1;

        // A stop that closed the sockets before they were opened again still ends this attempt.
        bool ok = session->OpenSockets() == 1 && !stopRequested && session->RtspConnect() == 1;
        if (!ok) {
            client->state = 2;
            PostNotification(client, kCodeConnection, kAttemptFailed);
            if (attempts != -1 && attempts <= 0) break;
            if (Pause()) break;
            PostNotification(client, kCodeConnection, kRetrying);
            continue;
        }

        bool pipelineStarted = false;
        bool eventStarted = false;
        if (display->ResetDecoder() != 1) {
            CleanUp(false, false);
            break;
        }
        if (display->Start() != 0) {
            display->ReleaseDecoder();
            CleanUp(false, false);
            break;
        }
        pipelineStarted = true;
        connected = 1;
        client->state = 0;
        PostNotification(client, kCodeConnection, kConnected);

        videoReceiver->stopRequested = 0;
        if (videoReceiver->Start() != 0) {
            CleanUp(false, pipelineStarted);
            break;
        }
        // Without an audio track nothing would ever arrive on the audio socket.
        if (session->tracks.hasAudio) {
            audioReceiver->stopRequested = 0;
            if (audioReceiver->Start() != 0) {
                StopReceivers();
                CleanUp(false, pipelineStarted);
                break;
            }
        }
        eventReceiver->stopRequested = 0;
        if (!stopRequested && eventReceiver->Register(session->sessionId)) {
            if (eventReceiver->Start() != 0) {
                StopReceivers();
                CleanUp(false, pipelineStarted);
                break;
            }
            eventStarted = true;
        }

        if (!Supervise(eventStarted)) {
            StopReceivers();
            CleanUp(eventStarted, pipelineStarted);
            break;
        }

        client->state = 3;
        PostNotification(client, kCodeConnection, kStreamLost);
        StopReceivers();
        session->RtspTeardown();
        if (eventStarted) eventReceiver->Stop();
        display->StopAndWait();
        // Once connected, a lost stream is retried without limit.
        attempts = -1;
        if (Pause()) break;
        PostNotification(client, kCodeConnection, kRetrying);
    }
    if (!stopRequested) PostNotification(client, kCodeConnection, kGaveUp);
    return 0;
}

}  // namespace kavro
