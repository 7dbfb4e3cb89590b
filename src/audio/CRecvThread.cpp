#include "audio/CRecvThread.h"

#include <cstring>

#include "codec/VoiceEngine.h"

namespace kavro {

struct CRecvThread::VoiceStateHolder {
    VoiceState state{};
};

CRecvThread::CRecvThread(ClientHandle* c, Socket& s, Event& failed, std::unique_ptr<PcmOutput> device)
    : client(c),
      socket(s),
      recvFailed(failed),
      playback(std::move(device)),
      state_(std::make_unique<VoiceStateHolder>()) {}

CRecvThread::~CRecvThread() {
    if (IsRunning()) StopWorker();
    Join();
}

void CRecvThread::SetFirstSound(const uint8_t* data, int length) {
    if (!data || length <= 0) {
        firstSoundLength_ = 0;
        return;
    }
    if (length > kReceiveBytes) length = kReceiveBytes;
    std::memcpy(firstSound_, data, static_cast<size_t>(length));
    firstSoundLength_ = length;
}

void CRecvThread::StopWorker() {
    stopRequested = 1;
    Join();
    playback.ClosePlayback();
}

void CRecvThread::PlayFrame(const uint8_t* frame, int length) {
    int16_t out[kVoiceMaxDecodedSamples];
    uint16_t count = 0;
    if (HI_VOICE_DecodeFrame(&state_->state, frame, static_cast<size_t>(length), out, kVoiceMaxDecodedSamples,
                             &count) == 0 &&
        count > 0)
        playback.PlayBlock(out, count * 2);
}

void* CRecvThread::Thread() {
    ThreadStarted();
    if (HI_VOICE_DecReset(&state_->state, kVoiceMode) != 0) return nullptr;
    if (firstSoundLength_ > 0) PlayFrame(firstSound_, firstSoundLength_);
    uint8_t frame[kReceiveBytes];
    for (;;) {
        int n = socket.Recv(frame, sizeof frame);
        if (n <= 0) {
            recvFailed.Set();
            return nullptr;
        }
        PlayFrame(frame, n);
        if (stopRequested) return nullptr;
    }
}

}  // namespace kavro
