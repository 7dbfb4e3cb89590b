#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

#include "conduit/CIConduit.h"
#include "platform/Event.h"
#include "platform/JMutex.h"

namespace kavro {

// Ring buffer with a lock, a data event for the reader, a space event that paces the writer
// (flow control) and, in frame mode, the sizes of the complete frames held.
class CBufferConduit : public CIConduit {
public:
    CBufferConduit() = default;
    ~CBufferConduit() override;
    CBufferConduit(const CBufferConduit&) = delete;
    CBufferConduit& operator=(const CBufferConduit&) = delete;

    bool Init(int capacity, int flowControl, int lowWater, int frameMode) override;
    void Free() override;
    void Reset() override;
    void SetFlowControl(int on) override;
    int Read(void* buffer, int length, int* remainingOut, uint32_t timeoutMs) override;
    bool Write(const void* data, int length, int endOfFrame) override;
    int GetDataSize() override;
    int GetFrameCount() override;
    int ReadFrame(void* buffer, int maxLength, int* framesLeftOut, uint32_t timeoutMs) override;
    void Close() override;
    bool WaitFrames(int frames, uint32_t timeoutMs) override;

    // How long a paced writer waits for room before it is refused.
    static constexpr uint32_t kFlowControlWaitMs = 1000;
    // A read that leaves fewer bytes than this lets a paced writer go on.
    static constexpr int kFlowControlRefill = 1024;

private:
    void CopyOut(uint8_t* dst, int n);
    void SignalSpace();
    void NotifyFrameWaiters();

    JMutex lock;
    std::unique_ptr<Event> dataEvent;   // manual reset
    std::unique_ptr<Event> spaceEvent;  // auto reset
    int capacity = 0;
    int fill = 0;
    std::unique_ptr<uint8_t[]> buffer;
    int readPos = 0;
    int writePos = 0;
    std::atomic<bool> closed{false};
    int lowWater = 0;
    std::atomic<int> flowControl{0};
    std::deque<int> frameSizes;
    int frameBytes = 0;
    std::atomic<int> framesHeld{0};
    int frameMode = 0;
    bool initialized = false;
    // Wakes WaitFrames; framesHeld and closed are read under it only to close the lost-wakeup gap.
    std::mutex frameWaitLock;
    std::condition_variable frameWait;
};

}  // namespace kavro
