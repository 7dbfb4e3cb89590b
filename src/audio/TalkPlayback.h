#pragma once
#include <cstdint>
#include <memory>
#include <mutex>

#include "audio/BlockDeque.h"
#include "platform/AlsaPcm.h"

namespace kavro {

// The loudspeaker side of talk: 16 blocks of 40 ms; sound that finds no free block is dropped.
class TalkPlayback {
public:
    static constexpr int kBlockCount = 16;
    static constexpr uint32_t kBlockBytes = 640;

    TalkPlayback();  // the ALSA default playback device
    explicit TalkPlayback(std::unique_ptr<PcmOutput> device);
    ~TalkPlayback();
    TalkPlayback(const TalkPlayback&) = delete;
    TalkPlayback& operator=(const TalkPlayback&) = delete;

    bool OpenPlayback();
    // Plays length bytes of samples. Sound longer than a block goes out in block-sized pieces,
    // as many as there are free blocks; the rest is dropped. false when nothing or not all of it
    // could be written.
    bool PlayBlock(const void* samples, int length);
    void ClosePlayback();

    int FreeBlocks();  // for tests

private:
    struct Block {
        PcmBlock header;
        uint8_t buffer[kBlockBytes];
    };
    void OnDevice(uint32_t message, PcmBlock* block);

    Block blocks_[kBlockCount] = {};
    BlockDeque<Block*, kBlockCount> free_;
    BlockDeque<Block*, kBlockCount> all_;
    std::unique_ptr<PcmOutput> device_;
    bool deviceOpen_ = false;
    std::mutex lock_;
};

}  // namespace kavro
