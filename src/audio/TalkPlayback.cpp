#include "audio/TalkPlayback.h"

#include <cstring>

namespace kavro {

TalkPlayback::TalkPlayback() : TalkPlayback(CreateAlsaOutput()) {}

TalkPlayback::TalkPlayback(std::unique_ptr<PcmOutput> device) : device_(std::move(device)) {}

TalkPlayback::~TalkPlayback() {
    ClosePlayback();
    device_.reset();  // stops the device thread before the blocks go
}

bool TalkPlayback::OpenPlayback() {
    if (deviceOpen_) return true;
    if (!device_ || !device_->Open([this](uint32_t m, PcmBlock* b) { OnDevice(m, b); })) return false;
    deviceOpen_ = true;
    std::lock_guard<std::mutex> g(lock_);
    // Lists of an earlier opening are dropped: a block listed twice would be played twice at once.
    free_.Clear();
    all_.Clear();
    for (Block& b : blocks_) {
        b.header = PcmBlock{};
        b.header.data = b.buffer;
        b.header.bufferLength = kBlockBytes;
        b.header.user = reinterpret_cast<uintptr_t>(&b);
        if (device_->Prepare(&b.header)) {
            free_.PushBack(&b);
            all_.PushBack(&b);
        }
    }
    return true;
}

void TalkPlayback::OnDevice(uint32_t message, PcmBlock* block) {
    if (message != kPcmOutDone || !block) return;
    std::lock_guard<std::mutex> g(lock_);
    free_.PushBack(reinterpret_cast<Block*>(block->user));
}

int TalkPlayback::FreeBlocks() {
    std::lock_guard<std::mutex> g(lock_);
    return free_.Size();
}

bool TalkPlayback::PlayBlock(const void* samples, int length) {
    if (!samples || length <= 0) return false;
    const uint8_t* p = static_cast<const uint8_t*>(samples);
    int left = length;
    while (left > 0) {
        Block* b;
        {
            std::lock_guard<std::mutex> g(lock_);
            if (free_.Empty()) return false;
            b = free_.PopFront();
        }
        uint32_t n = left < static_cast<int>(kBlockBytes) ? static_cast<uint32_t>(left) : kBlockBytes;
        std::memcpy(b->buffer, p, n);
        b->header.bufferLength = n;
        if (!deviceOpen_ || !device_->Write(&b->header)) {
            // Kept in circulation: a failed write must not cost the block for good.
            std::lock_guard<std::mutex> g(lock_);
            free_.PushBack(b);
            return false;
        }
        p += n;
        left -= static_cast<int>(n);
    }
    return true;
}

void TalkPlayback::ClosePlayback() {
    if (!deviceOpen_) return;
    device_->Reset();
    {
        std::lock_guard<std::mutex> g(lock_);
        for (int i = all_.Size(); i > 0; --i) {
            Block* b = all_.PopFront();
            device_->Unprepare(&b->header);
            all_.PushBack(b);
        }
    }
    for (int i = 0; i < 3 && !device_->Close(); ++i) device_->Reset();
    deviceOpen_ = false;
    std::lock_guard<std::mutex> g(lock_);
    free_.Clear();
    all_.Clear();
}

}  // namespace kavro
