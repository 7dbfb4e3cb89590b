#include "display/CBitRate.h"

#include "api/ClientHandle.h"

namespace kavro {

CBitRate::CBitRate(ClientHandle* c) : client(c) {}

CBitRate::~CBitRate() {
    if (IsRunning()) Stop();
    Join();
}

void CBitRate::Stop() {
    stopEvent.Set();
    Join();
}

int32_t CBitRate::KbpsFromCounts(uint32_t previousBytes, uint32_t currentBytes) {
    // The difference wraps with the counter; the product is taken in 64 bits so that more than
    // 512 MB in one period cannot wrap the result as well.
    uint64_t bits = static_cast<uint64_t>(currentBytes - previousBytes) * 8u;
    return static_cast<int32_t>(bits >> 10);
}

void* CBitRate::Thread() {
    ThreadStarted();
    uint32_t prevBytes = 0;
    uint32_t prevFrames = 0;
    while (!stopEvent.Wait(kPeriodMs)) {
        if (!client) continue;
        uint32_t bytes = client->byteCount.load();
        uint32_t frames = client->frameCount.load();
        client->measuredKbps = KbpsFromCounts(prevBytes, bytes);
        client->measuredFps = static_cast<int32_t>(frames - prevFrames);
        prevBytes = bytes;
        prevFrames = frames;
    }
    return nullptr;
}

}  // namespace kavro
