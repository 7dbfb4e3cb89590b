#pragma once
#include <atomic>
#include <cstdint>
#include <memory>

#include "audio/TalkCapture.h"
#include "platform/Event.h"
#include "platform/JThread.h"
#include "platform/Socket.h"

namespace kavro {

struct ClientHandle;

// Sends the microphone to the camera: every 40 ms block is coded as G.726 at 32 kbit/s and sent
// behind an 8-byte head (length, sender's tick), both little-endian.
class CSendThread : public JThread {
public:
    static constexpr uint16_t kVoiceMode = 6;
    static constexpr int kFrameHeadBytes = 8;

    CSendThread(ClientHandle* client, Socket& socket, Event& sendFailed,
                std::unique_ptr<PcmInput> device = CreateAlsaInput());
    ~CSendThread() override;

    // Sets stopRequested, waits without limit for the thread, then closes the capture.
    void StopWorker();

    ClientHandle* client;
    Socket& socket;
    Event& sendFailed;
    std::atomic<int> stopRequested{0};
    TalkCapture capture;

protected:
    void* Thread() override;
};

}  // namespace kavro
