#include "audio/CSendThread.h"

#include <cstring>

#include "codec/VoiceEngine.h"
#include "platform/Tick.h"

namespace kavro {

namespace {
void PutLe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}
}  // namespace

CSendThread::CSendThread(ClientHandle* c, Socket& s, Event& failed, std::unique_ptr<PcmInput> device)
    : client(c), socket(s), sendFailed(failed), capture(std::move(device)) {}

CSendThread::~CSendThread() {
    if (IsRunning()) StopWorker();
    Join();
}

void CSendThread::StopWorker() {
    stopRequested = 1;
    Join();
    capture.CloseCapture();
}

void* CSendThread::Thread() {
    ThreadStarted();
    VoiceState state{};
    if (HI_VOICE_EncReset(&state, kVoiceMode) != 0) return nullptr;
    constexpr int kSamples = TalkCapture::kBlockBytes / 2;
    uint8_t block[TalkCapture::kBlockBytes];
    int16_t samples[kSamples];
    uint8_t frame[1024];
    for (;;) {
        if (capture.TakeCaptured(block)) {
            std::memcpy(samples, block, sizeof samples);
            if (HI_VOICE_EncodeFrame(&state, samples, kSamples, frame, sizeof frame) == 0) {
                // The length counts only the low 8 bits of the word count; never more than was coded.
                size_t length = VoiceFrameWireBytes(frame);
                size_t coded = kVoiceFrameHeaderBytes + 2u * VoiceFrameWordCount(frame);
                if (length > coded) length = coded;
                uint8_t head[kFrameHeadBytes];
                PutLe32(head, static_cast<uint32_t>(length));
                PutLe32(head + 4, GetTick());
                if (socket.Send(head, sizeof head) != static_cast<int>(sizeof head) ||
                    socket.Send(frame, length) != static_cast<int>(length)) {
                    sendFailed.Set();
                    return nullptr;
                }
            }
        }
        if (stopRequested) return nullptr;
    }
}

}  // namespace kavro
