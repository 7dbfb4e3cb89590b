#include "audio/TalkCapture.h"

#include <cstring>

namespace kavro {

TalkCapture::TalkCapture() : TalkCapture(CreateAlsaInput()) {}

TalkCapture::TalkCapture(std::unique_ptr<PcmInput> device) : device_(std::move(device)) {}

TalkCapture::~TalkCapture() {
    CloseCapture();
    device_.reset();  // stops the device thread before the blocks go
}

bool TalkCapture::OpenCapture() {
    stopping_ = false;
    if (deviceOpen_) return true;
    dataReady_.Reset();
    {
        std::lock_guard<std::mutex> g(lock_);
        freeSlots_.Clear();
        filledSlots_.Clear();
        for (int i = 0; i < kSlotCount; ++i) freeSlots_.PushBack(i);
    }
    if (!device_ || !device_->Open([this](uint32_t m, PcmBlock* b) { OnDevice(m, b); })) {
        CloseCapture();
        return false;
    }
    deviceOpen_ = true;
    for (Block& b : blocks_) {
        b.header = PcmBlock{};
        b.header.data = b.buffer;
        b.header.bufferLength = kBlockBytes;
        b.header.user = reinterpret_cast<uintptr_t>(&b);
        if (device_->Prepare(&b.header)) prepared_.PushBack(&b);
        if (device_->AddBuffer(&b.header)) ++queued_;
    }
    if (!device_->Start()) {
        CloseCapture();
        return false;
    }
    return true;
}

void TalkCapture::OnDevice(uint32_t message, PcmBlock* block) {
    if (message != kPcmInData || !block) return;
    // A block cut short by a reset holds stale bytes after the recorded ones: not sound to send.
    if (block->bytesRecorded >= kBlockBytes) {
        std::lock_guard<std::mutex> g(lock_);
        int slot;
        if (!freeSlots_.Empty())
            slot = freeSlots_.PopBack();
        else
            slot = filledSlots_.PopBack();
        std::memcpy(slots_[slot], block->data, kBlockBytes);
        filledSlots_.PushBack(slot);
    }
    --queued_;
    dataReady_.Set();
    if (!stopping_) {
        block->bufferLength = kBlockBytes;
        if (device_->AddBuffer(block)) ++queued_;
    }
}

bool TalkCapture::TakeCaptured(uint8_t* out) {
    {
        std::lock_guard<std::mutex> g(lock_);
        if (filledSlots_.Empty()) {
            // fall through to the wait below, without the lock
        } else {
            int slot = filledSlots_.PopFront();
            std::memcpy(out, slots_[slot], kBlockBytes);
            freeSlots_.PushBack(slot);
            return true;
        }
    }
    dataReady_.Wait(kTakeWaitMs);
    std::lock_guard<std::mutex> g(lock_);
    if (filledSlots_.Empty()) return false;
    int slot = filledSlots_.PopFront();
    std::memcpy(out, slots_[slot], kBlockBytes);
    freeSlots_.PushBack(slot);
    return true;
}

void TalkCapture::CloseCapture() {
    stopping_ = true;
    if (!deviceOpen_) return;
    device_->Reset();
    while (!prepared_.Empty()) device_->Unprepare(&prepared_.PopFront()->header);
    // Close refuses while blocks are queued; a reset returns them all.
    for (int i = 0; i < 3 && !device_->Close(); ++i) device_->Reset();
    deviceOpen_ = false;
    queued_ = 0;
}

}  // namespace kavro
