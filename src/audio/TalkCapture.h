#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "audio/BlockDeque.h"
#include "platform/AlsaPcm.h"
#include "platform/Event.h"

namespace kavro {

// The microphone side of talk: 16 blocks of 40 ms at the capture device and 16 slots that hold
// captured sound until the sender takes it. When the sender falls behind, the newest waiting
// slot is overwritten, so at most 640 ms of sound ever waits.
class TalkCapture {
public:
    static constexpr int kBlockCount = 16;
    static constexpr int kSlotCount = 16;
    static constexpr uint32_t kBlockBytes = 640;
    static constexpr uint32_t kTakeWaitMs = 500;

    TalkCapture();  // the ALSA default capture device
    explicit TalkCapture(std::unique_ptr<PcmInput> device);
    ~TalkCapture();
    TalkCapture(const TalkCapture&) = delete;
    TalkCapture& operator=(const TalkCapture&) = delete;

    bool OpenCapture();
    // Copies the oldest captured block (kBlockBytes) into out; false when none came within
    // kTakeWaitMs.
    bool TakeCaptured(uint8_t* out);
    void CloseCapture();

    // Blocks queued at the device (for tests).
    int QueuedBlocks() const { return queued_.load(); }

private:
    struct Block {
        PcmBlock header;
        uint8_t buffer[kBlockBytes];
    };
    void OnDevice(uint32_t message, PcmBlock* block);

    std::unique_ptr<PcmInput> device_;
    bool deviceOpen_ = false;
    Block blocks_[kBlockCount] = {};
    BlockDeque<Block*, kBlockCount> prepared_;
    std::atomic<bool> stopping_{false};
    std::atomic<int> queued_{0};
    uint8_t slots_[kSlotCount][kBlockBytes] = {};
    BlockDeque<int, kSlotCount> freeSlots_;
    BlockDeque<int, kSlotCount> filledSlots_;
    std::mutex lock_;
    Event dataReady_{false, false};
};

}  // namespace kavro
