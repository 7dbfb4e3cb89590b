#include "audio/CAVSound.h"

#include <cstring>
#include <new>

#include "api/ClientHandle.h"
#include "conduit/CIConduit.h"
#include "platform/Tick.h"

namespace kavro {

namespace {
// Device reset and close are retried until accepted, but a device that never accepts must not
// keep the closing client waiting for ever: it is then dropped by force.
constexpr int kDeviceRetries = 2000;
}  // namespace

CAVSound::CAVSound() : CAVSound(CreateAlsaOutput()) {}

CAVSound::CAVSound(std::unique_ptr<PcmOutput> device) : device_(std::move(device)) {}

CAVSound::~CAVSound() {
    if (IsRunning()) Stop();
    Join();
    device_.reset();
    ReleaseBuffers();
}

bool CAVSound::PrepareBuffers() {
    stopRequested = 0;
    for (int i = 0; i < kBlockCount; ++i) {
        blocks_[i] = PcmBlock{};
        buffers_[i].reset(new (std::nothrow) uint8_t[kBlockBufferBytes]);
        if (!buffers_[i]) return false;
        std::memset(buffers_[i].get(), 0, kBlockBufferBytes);
        blocks_[i].data = buffers_[i].get();
        blocks_[i].bufferLength = kBlockBufferBytes;
    }
    return true;
}

void CAVSound::ReleaseBuffers() {
    if (IsRunning()) return;  // the device may still hold them
    for (int i = 0; i < kBlockCount; ++i) {
        buffers_[i].reset();
        blocks_[i] = PcmBlock{};
    }
}

void CAVSound::Stop() {
    stopRequested = 1;
    messages_.Post(ThreadMessage{kStopMessage, 0, 0});
    Join();
}

bool CAVSound::FillBlock(PcmBlock* block) {
    bool lastWasQuick = false;
    while (!stopRequested) {
        uint32_t start = GetTick();
        if (audioConduit && audioConduit->Read(block->data, static_cast<int>(kBlockPlayBytes), nullptr,
                                               kReadTimeoutMs) == static_cast<int>(kBlockPlayBytes))
            return true;
        // A closed (or missing) conduit answers at once; without a pause this would spin until
        // the stop arrives.
        uint32_t spent = GetTick() - start;
        if (spent < kReadTimeoutMs) {
            if (lastWasQuick) SleepMs(kReadTimeoutMs - spent);
            lastWasQuick = true;
        } else {
            lastWasQuick = false;
        }
    }
    return false;
}

bool CAVSound::Submit(PcmBlock* block) {
    if (!device_->Write(block)) return false;
    ++outstanding_;
    return true;
}

void CAVSound::CloseDevice() {
    for (int i = 0; i < kDeviceRetries; ++i) {
        if (device_->Close()) return;  // the close message follows
        SleepMs(1);
    }
    device_.reset();
    deviceOpen_ = false;
}

void* CAVSound::Thread() {
    ThreadStarted();
    deviceOpen_ = device_ && device_->Open([this](uint32_t message, PcmBlock* block) {
        messages_.Post(ThreadMessage{message, 0, reinterpret_cast<intptr_t>(block)});
    });
    if (!deviceOpen_) {
        if (client) client->audioPlayerClosed = 1;
        if (audioConduit) audioConduit->Reset();
        return nullptr;
    }
    outstanding_ = 0;
    closing_ = false;

    for (int i = 0; i < kBlockCount; ++i) {
        PcmBlock* b = &blocks_[i];
        if (!b->data) break;
        b->bufferLength = kBlockPlayBytes;
        b->flags = 0;
        b->loops = 1;
        if (!device_->Prepare(b)) break;
        if (!FillBlock(b)) break;
        Submit(b);
    }

    bool loop = outstanding_ > 0;
    ThreadMessage m;
    while (loop && messages_.Get(&m)) {
        switch (m.message) {
            case kPcmOutDone: {
                PcmBlock* b = reinterpret_cast<PcmBlock*>(m.lParam);
                if (outstanding_ > 0) --outstanding_;
                if (closing_) {
                    if (outstanding_ == 0) {
                        for (PcmBlock& h : blocks_)
                            if (h.flags & kPcmBlockPrepared) device_->Unprepare(&h);
                        CloseDevice();
                        if (!deviceOpen_) loop = false;
                    }
                } else if (b && FillBlock(b)) {
                    b->bufferLength = kBlockPlayBytes;
                    device_->Prepare(b);
                    Submit(b);
                }
                break;
            }
            case kPcmOutClose:
                deviceOpen_ = false;
                loop = false;
                break;
            case kStopMessage:
                closing_ = true;
                if (!deviceOpen_) {
                    loop = false;
                } else if (outstanding_ > 0) {
                    int tries = 0;
                    while (!device_->Reset()) {
                        if (++tries >= kDeviceRetries) {
                            device_.reset();
                            deviceOpen_ = false;
                            loop = false;
                            break;
                        }
                        SleepMs(1);
                    }
                } else {
                    CloseDevice();
                    if (!deviceOpen_) loop = false;
                }
                break;
            default:
                break;
        }
    }

    if (deviceOpen_) {
        for (PcmBlock& h : blocks_)
            if (h.flags & kPcmBlockPrepared) device_->Unprepare(&h);
        CloseDevice();
        deviceOpen_ = false;
    }
    if (client) client->audioPlayerClosed = 1;
    if (audioConduit) audioConduit->Reset();
    return nullptr;
}

}  // namespace kavro
