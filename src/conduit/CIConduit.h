#pragma once
#include <cstdint>

namespace kavro {

// Bounded byte queue between one producing and one consuming thread of a client.
// The order of the operations is part of the interface.
class CIConduit {
public:
    virtual ~CIConduit() = default;

    // Once per conduit, right after construction. false on a second call, a capacity of 0
    // or less, or when the ring cannot be allocated.
    virtual bool Init(int capacity, int flowControl, int lowWater, int frameMode) = 0;
    // Releases the ring; the conduit then refuses every write.
    virtual void Free() = 0;
    // Empties the conduit and reopens it if it was closed.
    virtual void Reset() = 0;
    virtual void SetFlowControl(int on) = 0;
    // Byte-stream read of exactly `length` bytes or nothing: returns `length` or 0.
    // `remainingOut` (may be null) receives the bytes still held.
    virtual int Read(void* buffer, int length, int* remainingOut, uint32_t timeoutMs) = 0;
    // Appends all `length` bytes or nothing. endOfFrame == 1 completes the current frame
    // (frame mode); any other value leaves it open.
    virtual bool Write(const void* data, int length, int endOfFrame) = 0;
    virtual int GetDataSize() = 0;
    virtual int GetFrameCount() = 0;
    // Frame-mode read of the oldest frame, or of its first `maxLength` bytes when it is longer
    // (the rest comes with the next call). `framesLeftOut` (may be null) receives the number of
    // frame entries still held.
    virtual int ReadFrame(void* buffer, int maxLength, int* framesLeftOut, uint32_t timeoutMs) = 0;
    // Makes every read and write fail at once and wakes any waiting one.
    virtual void Close() = 0;
    // Waits until at least `frames` complete frames are held, the conduit is closed or the time
    // is up; true when the frames are there. Lets a reader that wants several frames at once
    // sleep instead of asking GetFrameCount in a loop.
    virtual bool WaitFrames(int frames, uint32_t timeoutMs) = 0;
};

}  // namespace kavro
