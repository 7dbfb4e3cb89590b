#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "control/MctpTransport.h"
#include "platform/AlsaPcm.h"
#include "platform/Event.h"
#include "platform/JThread.h"

namespace kavro {

struct ClientHandle;
class CSendThread;
class CRecvThread;

// A talk session: connects to the camera's control port, asks for talk, runs the send thread
// (and the receive thread when the camera talks back) and reconnects when one of them fails.
class CTalk2VS : public JThread {
public:
    static constexpr uint32_t kRetryPauseMs = 10000;
    static constexpr uint32_t kRetryStepMs = 100;
    static constexpr size_t kFirstSoundMax = 640;

    // retryPauseMs: pause after a failed handshake (tests shorten it).
    explicit CTalk2VS(ClientHandle* client, uint32_t retryPauseMs = kRetryPauseMs);
    ~CTalk2VS() override;

    // Sets stopRequested, signals stopEvent, wakes the connection and waits without limit for the
    // session thread. Safe to call more than once.
    void StopAndWait();

    // Result of taking a handshake reply apart.
    struct Reply {
        bool accepted = false;
        bool twoWay = false;
        size_t replyLength = 0;  // bytes up to and including the second line feed
    };
    // The reply is the text through its second line feed; bytes after it are the camera's first
    // sound, not part of the reply.
    static Reply ParseReply(const char* data, size_t length);

    ClientHandle* client;
    CommandSocket connection;
    std::atomic<int> stopRequested{0};
    std::unique_ptr<CRecvThread> recvThread;
    std::unique_ptr<CSendThread> sendThread;
    Event stopEvent{true, false};
    Event sendFailed{true, false};
    Event recvFailed{true, false};
    std::atomic<int> twoWay{0};

    // Where the workers' sound devices come from (the ALSA default devices unless replaced
    // before Start).
    std::function<std::unique_ptr<PcmInput>()> makeCaptureDevice;
    std::function<std::unique_ptr<PcmOutput>()> makePlaybackDevice;

    // Handshakes completed so far (for tests and diagnostics).
    std::atomic<int> connections{0};

protected:
    void* Thread() override;

private:
    bool Handshake();
    void StopWorkers();

    std::mutex socketLock_;  // open, shut down and close of the connection
    uint32_t retryPauseMs_;
    uint8_t firstSound_[kFirstSoundMax] = {};
    int firstSoundLength_ = 0;
};

// KAVRO_ClientStartTalk: replaces a running session by a new one. false when the session thread
// cannot start.
bool StartTalk(ClientHandle* client);
// KAVRO_ClientStopTalk: stops the session and deletes it.
void StopTalk(ClientHandle* client);
// For the client's close: stops a session without deleting it (FreeClient deletes client->talk).
void StopTalkSession(ClientHandle* client);

}  // namespace kavro
