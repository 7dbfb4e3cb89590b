#include "conduit/CBufferConduit.h"

#include <cstring>
#include <new>

namespace kavro {

CBufferConduit::~CBufferConduit() = default;

bool CBufferConduit::Init(int capacityBytes, int flowControlOn, int lowWaterBytes, int frameModeOn) {
    if (initialized || capacityBytes <= 0) return false;
    lock.Init();
    dataEvent = std::make_unique<Event>(true, false);
    spaceEvent = std::make_unique<Event>(false, true);
    buffer.reset(new (std::nothrow) uint8_t[static_cast<size_t>(capacityBytes)]);
    if (!buffer) return false;
    capacity = capacityBytes;
    fill = readPos = writePos = 0;
    closed = false;
    lowWater = lowWaterBytes;
    flowControl = flowControlOn;
    frameMode = frameModeOn;
    frameSizes.clear();
    frameBytes = 0;
    framesHeld = 0;
    initialized = true;
    return true;
}

void CBufferConduit::Free() {
    if (!initialized) return;
    JMutexAutoLock g(lock);
    buffer.reset();
    capacity = fill = readPos = writePos = 0;
    frameSizes.clear();
    frameBytes = 0;
    framesHeld = 0;
}

void CBufferConduit::Reset() {
    if (!initialized) return;
    JMutexAutoLock g(lock);
    writePos = readPos = fill = 0;
    closed = false;
    spaceEvent->Set();
    frameSizes.clear();
    frameBytes = 0;
    framesHeld = 0;
}

void CBufferConduit::SetFlowControl(int on) { flowControl = on; }

void CBufferConduit::SignalSpace() {
    if (flowControl) spaceEvent->Set();
}

// Takes n held bytes from readPos, in at most two block copies. Lock held.
void CBufferConduit::CopyOut(uint8_t* dst, int n) {
    int room = capacity - readPos;
    if (room > n) {
        memcpy(dst, buffer.get() + readPos, static_cast<size_t>(n));
        readPos += n;
    } else {
        memcpy(dst, buffer.get() + readPos, static_cast<size_t>(room));
        memcpy(dst + room, buffer.get(), static_cast<size_t>(n - room));
        readPos = n - room;
    }
    fill -= n;
}

bool CBufferConduit::Write(const void* data, int length, int endOfFrame) {
    if (!initialized || closed) return false;
    if (length < 0 || (length > 0 && data == nullptr)) return false;
    if (flowControl && !spaceEvent->Wait(kFlowControlWaitMs)) return false;

    JMutexAutoLock g(lock);
    // Closed while this writer waited for room: the bytes would only be thrown away by the next Reset.
    if (closed) return false;
    if (length > capacity - fill) {
        dataEvent->Set();  // let the reader drain
        return false;
    }
    if (length > 0) {
        const auto* src = static_cast<const uint8_t*>(data);
        int room = capacity - writePos;
        if (room > length) {
            memcpy(buffer.get() + writePos, src, static_cast<size_t>(length));
            writePos += length;
        } else {
            memcpy(buffer.get() + writePos, src, static_cast<size_t>(room));
            memcpy(buffer.get(), src + room, static_cast<size_t>(length - room));
            writePos = length - room;
        }
    }
    if (frameMode) {
        frameBytes += length;
        // An empty frame could never be read out and would stay counted for ever.
        if (endOfFrame == 1 && frameBytes > 0) {
            frameSizes.push_back(frameBytes);
            framesHeld = static_cast<int>(frameSizes.size());
            frameBytes = 0;
            NotifyFrameWaiters();
        }
    }
    fill += length;
    dataEvent->Set();
    return true;
}

int CBufferConduit::Read(void* out, int length, int* remainingOut, uint32_t timeoutMs) {
    if (!initialized || closed || out == nullptr || length <= 0) return 0;
    if (flowControl) {
        JMutexAutoLock g(lock);
        if (fill < lowWater) spaceEvent->Set();
    }
    if (!dataEvent->Wait(timeoutMs)) {
        SignalSpace();
        return 0;
    }
    JMutexAutoLock g(lock);
    if (closed) return 0;
    if (fill == 0 || fill < length) {
        dataEvent->Reset();
        SignalSpace();
        return 0;
    }
    CopyOut(static_cast<uint8_t*>(out), length);
    if (fill < kFlowControlRefill) SignalSpace();
    if (remainingOut) *remainingOut = fill;
    return length;
}

int CBufferConduit::ReadFrame(void* out, int maxLength, int* framesLeftOut, uint32_t timeoutMs) {
    if (!initialized || closed || out == nullptr || !frameMode || maxLength <= 0) return 0;
    if (flowControl) {
        JMutexAutoLock g(lock);
        if (fill < lowWater) spaceEvent->Set();
    }
    // Wait before taking the lock: a reader that waited holding it would keep out the very
    // writer it waits for.
    if (!dataEvent->Wait(timeoutMs)) {
        SignalSpace();
        return 0;
    }
    JMutexAutoLock g(lock);
    if (closed) return 0;
    if (fill == 0 || frameSizes.empty()) {
        dataEvent->Reset();
        SignalSpace();
        return 0;
    }
    // A byte-stream Read in frame mode can leave the entries larger than what is held.
    int n = frameSizes.front() < fill ? frameSizes.front() : fill;
    int size;
    if (maxLength >= n) {
        size = n;
        frameSizes.pop_front();
        framesHeld = static_cast<int>(frameSizes.size());
    } else {
        size = maxLength;
        frameSizes.front() -= maxLength;
    }
    CopyOut(static_cast<uint8_t*>(out), size);
    if (fill < kFlowControlRefill) SignalSpace();
    if (framesLeftOut) *framesLeftOut = static_cast<int>(frameSizes.size());
    return size;
}

int CBufferConduit::GetDataSize() {
    JMutexAutoLock g(lock);
    return fill;
}

int CBufferConduit::GetFrameCount() { return framesHeld; }

void CBufferConduit::Close() {
    closed = true;
    NotifyFrameWaiters();
    if (!initialized) return;
    dataEvent->Set();
    spaceEvent->Set();
}

void CBufferConduit::NotifyFrameWaiters() {
    // Taking the lock orders this against a waiter between its check and its sleep.
    { std::lock_guard<std::mutex> g(frameWaitLock); }
    frameWait.notify_all();
}

bool CBufferConduit::WaitFrames(int frames, uint32_t timeoutMs) {
    std::unique_lock<std::mutex> g(frameWaitLock);
    auto ready = [&] { return closed.load() || framesHeld.load() >= frames; };
    if (timeoutMs == kInfinite)
        frameWait.wait(g, ready);
    else
        frameWait.wait_for(g, std::chrono::milliseconds(timeoutMs), ready);
    return !closed.load() && framesHeld.load() >= frames;
}

}  // namespace kavro
