#pragma once
#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/AlsaPcm.h"
#include "platform/JThread.h"
#include "platform/ThreadMessageQueue.h"

namespace kavro {

struct ClientHandle;
class CIConduit;

// Plays the 16-bit PCM of a client's audio conduit on the default output device, keeping at most
// 16 blocks of 50 ms at the device.
class CAVSound : public JThread {
public:
    static constexpr int kBlockCount = 16;
    static constexpr uint32_t kBlockBufferBytes = 1024;
    static constexpr uint32_t kBlockPlayBytes = 800;
    static constexpr uint32_t kReadTimeoutMs = 60;
    // Thread message that tells the player to stop.
    static constexpr uint32_t kStopMessage = 0x40A;

    // Plays on the ALSA default device.
    CAVSound();
    // Plays on the given device (tests use a device of their own).
    explicit CAVSound(std::unique_ptr<PcmOutput> device);
    ~CAVSound() override;

    // Set right after construction by the client set-up; neither is owned.
    ClientHandle* client = nullptr;
    CIConduit* audioConduit = nullptr;

    // Allocates the 16 blocks. false when an allocation fails.
    bool PrepareBuffers();
    // Ends the thread (waiting without limit) after it has reset and closed the device.
    void Stop();
    // Frees the blocks; may run more than once. Only while the thread is not running.
    void ReleaseBuffers();

protected:
    void* Thread() override;

private:
    bool FillBlock(PcmBlock* block);
    bool Submit(PcmBlock* block);
    void CloseDevice();

    ThreadMessageQueue messages_;
    PcmBlock blocks_[kBlockCount];
    std::unique_ptr<uint8_t[]> buffers_[kBlockCount];
    std::unique_ptr<PcmOutput> device_;  // declared after the blocks: it goes first
    bool deviceOpen_ = false;
    int outstanding_ = 0;
    bool closing_ = false;
    std::atomic<int> stopRequested{0};
};

}  // namespace kavro
