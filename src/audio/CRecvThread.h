#pragma once
#include <atomic>
#include <cstdint>
#include <memory>

#include "audio/TalkPlayback.h"
#include "platform/Event.h"
#include "platform/JThread.h"
#include "platform/Socket.h"

namespace kavro {

struct ClientHandle;

// Plays the camera's sound: each receive of at most 640 bytes is taken as one G.726 frame at
// 32 kbit/s.
class CRecvThread : public JThread {
public:
    static constexpr uint16_t kVoiceMode = 6;
    static constexpr int kReceiveBytes = 640;

    CRecvThread(ClientHandle* client, Socket& socket, Event& recvFailed,
                std::unique_ptr<PcmOutput> device = CreateAlsaOutput());
    ~CRecvThread() override;

    // Sound that came with the handshake reply; played first. Call before Start.
    void SetFirstSound(const uint8_t* data, int length);
    // Sets stopRequested, waits without limit for the thread, then closes the playback.
    void StopWorker();

    ClientHandle* client;
    Socket& socket;
    Event& recvFailed;
    std::atomic<int> stopRequested{0};
    TalkPlayback playback;

protected:
    void* Thread() override;

private:
    void PlayFrame(const uint8_t* frame, int length);

    struct VoiceStateHolder;
    uint8_t firstSound_[kReceiveBytes] = {};
    int firstSoundLength_ = 0;
    std::unique_ptr<VoiceStateHolder> state_;
};

}  // namespace kavro
