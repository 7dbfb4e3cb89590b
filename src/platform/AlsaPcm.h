#pragma once
#include <cstdint>
#include <functional>
#include <memory>

namespace kavro {

// Sound format of every device here: signed 16-bit little-endian, one channel, 8000 Hz.
constexpr int kPcmSampleRate = 8000;
constexpr int kPcmBytesPerSample = 2;

// One block handed to a device, as a waveform header describes it. The owner keeps the memory;
// the device only uses it between Write/AddBuffer and the block's completion.
struct PcmBlock {
    uint8_t* data = nullptr;
    uint32_t bufferLength = 0;   // bytes to play, or room to record
    uint32_t bytesRecorded = 0;  // capture: bytes filled when the block came back
    uint32_t flags = 0;
    uint32_t loops = 0;
    uintptr_t user = 0;
};

constexpr uint32_t kPcmBlockDone = 0x01;
constexpr uint32_t kPcmBlockPrepared = 0x02;
constexpr uint32_t kPcmBlockInQueue = 0x10;

// Completion messages, with the values the waveform functions use for them.
constexpr uint32_t kPcmOutOpen = 0x3BB;
constexpr uint32_t kPcmOutClose = 0x3BC;
constexpr uint32_t kPcmOutDone = 0x3BD;
constexpr uint32_t kPcmInOpen = 0x3BE;
constexpr uint32_t kPcmInClose = 0x3BF;
constexpr uint32_t kPcmInData = 0x3C0;

// Receives the completion messages of a device. Called on a thread of the device (for Done)
// or on the caller's thread (Open, Close, and the blocks returned by Reset); it must not call
// back into the device except to hand a block back (Write / AddBuffer).
using PcmCallback = std::function<void(uint32_t message, PcmBlock* block)>;

// Playback device. A block is written whole and comes back through kPcmOutDone once the
// device has taken all of it.
class PcmOutput {
public:
    virtual ~PcmOutput() = default;
    virtual bool Open(PcmCallback callback) = 0;
    virtual bool IsOpen() const = 0;
    virtual bool Prepare(PcmBlock* block) = 0;
    // Fails while the block is queued.
    virtual bool Unprepare(PcmBlock* block) = 0;
    // Fails when the device is closed or the block is not prepared or already queued.
    virtual bool Write(PcmBlock* block) = 0;
    // Stops at once and returns every queued block through kPcmOutDone before it returns.
    virtual bool Reset() = 0;
    // Fails while blocks are queued. Reports kPcmOutClose on success.
    virtual bool Close() = 0;
};

// Capture device. Blocks given with AddBuffer are filled in order once Start has run and come
// back through kPcmInData with bytesRecorded set.
class PcmInput {
public:
    virtual ~PcmInput() = default;
    virtual bool Open(PcmCallback callback) = 0;
    virtual bool IsOpen() const = 0;
    virtual bool Prepare(PcmBlock* block) = 0;
    virtual bool Unprepare(PcmBlock* block) = 0;
    virtual bool AddBuffer(PcmBlock* block) = 0;
    virtual bool Start() = 0;
    // Stops recording and returns every queued block (partly filled or empty) before it returns.
    virtual bool Reset() = 0;
    // Fails while blocks are queued. Reports kPcmInClose on success.
    virtual bool Close() = 0;
};

// The ALSA devices (PCM "default" unless named). Nothing is opened before Open.
std::unique_ptr<PcmOutput> CreateAlsaOutput(const char* deviceName = "default");
std::unique_ptr<PcmInput> CreateAlsaInput(const char* deviceName = "default");

}  // namespace kavro
