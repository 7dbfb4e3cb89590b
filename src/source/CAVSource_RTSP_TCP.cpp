#include "source/CAVSource_RTSP_TCP.h"

#include "api/ClientHandle.h"
#include "api/Library.h"
#include "api/Notification.h"
#include "conduit/CIConduit.h"
#include "control/CEventReceiver2.h"
#include "display/CAVDisplay.h"
#include "platform/Tick.h"
#include "source/RtpAudioDepacketizer.h"
#include "source/RtpVideoDepacketizer.h"
#include "source/RtspSession.h"

namespace kavro {

namespace {
constexpr int32_t kCodeConnection = 1;
constexpr int32_t kConnected = 0;
constexpr int32_t kAttempting = 1;
constexpr int32_t kConnectionLost = 3;
constexpr int32_t kRetrying = 4;
constexpr int32_t kGaveUp = 5;
}  // namespace

int CAVSource_RTSP_TCP::SessionBytes::Receive(void* buffer, size_t capacity) {
    return owner_.session->rtspSocket.Recv(buffer, capacity);
}

CAVSource_RTSP_TCP::CAVSource_RTSP_TCP() = default;

CAVSource_RTSP_TCP::~CAVSource_RTSP_TCP() {
    Stop();
    Release();
}

int CAVSource_RTSP_TCP::Init() {
    if (!client) return 0;
    video_.reset(new RtpVideoDepacketizer(client, videoConduit, this, RtpVideoDepacketizer::kJpegTypeTcp));
    if (!video_->Prepare()) return 0;
    audio_.reset(new RtpAudioDepacketizer(client, audioConduit, this));
    session.reset(new RtspSession(client, GetConnectTimeoutSec()));
    session->stopFlag = &stopRequested;
    eventReceiver.reset(new CEventReceiver2(client));
    if (!display) display = new CAVDisplay();
    display->Attach(client, this);
    return 1;
}

void CAVSource_RTSP_TCP::Release() {
    if (session) session->CloseSockets();
    eventReceiver.reset();
    delete display;
    display = nullptr;
    session.reset();
    video_.reset();
    audio_.reset();
}

int CAVSource_RTSP_TCP::Stop() {
    stopRequested = 1;
    if (session) {
        session->SetSocketTimeouts(kStopSocketTimeoutMs, kStopSocketTimeoutMs);
        if (connected) {
            session->RtspTeardownNoWait();
            JMutexAutoLock lock(session->sessionLock);
            session->rtspSocket.Close();
        } else {
            // A handshake in progress fails at its next socket call instead of running to its end.
            session->CloseSockets();
        }
    }
    if (eventReceiver) eventReceiver->WakeUp();
    return StopAndWait();
}

bool CAVSource_RTSP_TCP::Pause() {
    const int32_t steps = GetRetryIntervalSec() * 10;
    for (int32_t i = 0; i < steps && !stopRequested; ++i) SleepMs(100);
    return stopRequested != 0;
}

bool CAVSource_RTSP_TCP::Stream(bool eventStarted) {
    video_->BeginRun();
    video_->SetParameterSets(session->ParameterSets(), session->ParameterSetsLength());
    // A stream without a usable audio codec still shows its video.
    const bool audioOk = audio_->BeginRun();
    if (videoConduit) videoConduit->Reset();
    if (audioConduit) audioConduit->Reset();

    reader_.Reset();
    uint8_t leftover[RtspSession::kReplySize];
    size_t n = session->TakeLeftover(leftover, sizeof leftover);
    reader_.Preload(leftover, n);

    const uint32_t keepAliveMs = session->KeepAliveIntervalMs();
    uint32_t lastKeepAlive = GetTick();
    for (;;) {
        size_t length = 0;
        int channel = reader_.Read(frame_, sizeof frame_, &length);
        if (stopRequested) return false;
        if (channel < 0) return true;
        if (channel == kVideoChannel) {
            video_->HandlePacket(frame_, length);
        } else if (channel == kAudioChannel && audioOk) {
            audio_->HandlePacket(frame_, length);
        }
        // Servers without the camera's event channel need to hear from us to keep the session.
        if (!eventStarted && GetTick() - lastKeepAlive >= keepAliveMs) {
            session->SendKeepAliveNoWait();
            lastKeepAlive = GetTick();
        }
    }
}

int CAVSource_RTSP_TCP::Run() {
    if (!session || !display || !client || !video_ || !audio_) return 0;
    int32_t attempts = GetRetryCount();
    bool retryPass = false;
    bool eventStarted = false;
    bool displayStarted = false;
    for (;;) {
        if (retryPass && attempts != -1) --attempts;
        if (stopRequested) break;
        connected = 0;
        client->state = 1;
        PostNotification(client, kCodeConnection, kAttempting);
        if (IsRecording()) StopRecord();
        if (IsAlarmRecording()) StopAlarmRecord();

        // Sockets that cannot be opened (descriptors exhausted) count as a failed attempt.
        if (session->OpenSockets() != 1 || stopRequested || session->RtspConnect() != 1) {
            // A stop while connecting ends quietly, as a stop at any other time.
            if (stopRequested) break;
            if (attempts != -1 && attempts < 1) {
                client->state = 5;
                PostNotification(client, kCodeConnection, kGaveUp);
                break;
            }
            if (Pause()) break;
            client->state = 4;
            PostNotification(client, kCodeConnection, kRetrying);
            retryPass = true;
            continue;
        }

        connected = 1;
        client->state = 0;
        PostNotification(client, kCodeConnection, kConnected);
        attempts = -1;

        if (!client->fullUrl && !stopRequested) {
            if (eventReceiver->Register(session->sessionId)) {
                if (eventReceiver->Start() != 0) break;
                eventStarted = true;
            }
        }
        if (display->ResetDecoder() != 1) break;
        if (display->Start() != 0) {
            display->ReleaseDecoder();
            break;
        }
        client->queuedFrames = 0;
        displayStarted = true;

        if (!Stream(eventStarted)) break;

        client->state = 3;
        PostNotification(client, kCodeConnection, kConnectionLost);
        if (eventStarted) {
            eventReceiver->Stop();
            eventStarted = false;
        }
        display->StopAndWait();
        displayStarted = false;
        if (Pause()) break;
        client->state = 4;
        PostNotification(client, kCodeConnection, kRetrying);
        retryPass = true;
    }
    if (eventStarted) eventReceiver->Stop();
    if (displayStarted) display->StopAndWait();
    session->CloseSockets();
    return 0;
}

}  // namespace kavro
