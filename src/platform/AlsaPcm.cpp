#include "platform/AlsaPcm.h"

#include <alsa/asoundlib.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "platform/Tick.h"

namespace kavro {
namespace {

// ALSA's own buffer behind the blocks: kept short so that little sound waits beyond them.
constexpr unsigned kAlsaLatencyUs = 100000;
constexpr int kMaxQueued = 32;
constexpr int kWaitStepMs = 20;
// A capture device that is not clocked (a file or the null device) would deliver as fast as it
// is read; it is held to the nominal rate, with this much slack for a real device's drift.
constexpr uint32_t kCaptureSlackFrames = kPcmSampleRate / 5;

// Fixed ring of queued blocks: nothing is allocated while sound flows.
class BlockRing {
public:
    bool Full() const { return count_ == kMaxQueued; }
    bool Empty() const { return count_ == 0; }
    void PushBack(PcmBlock* b) {
        items_[(head_ + count_) % kMaxQueued] = b;
        ++count_;
    }
    PcmBlock* Front() const { return items_[head_]; }
    PcmBlock* PopFront() {
        PcmBlock* b = items_[head_];
        head_ = (head_ + 1) % kMaxQueued;
        --count_;
        return b;
    }

private:
    PcmBlock* items_[kMaxQueued] = {};
    int head_ = 0;
    int count_ = 0;
};

// One PCM stream and the thread that moves the queued blocks through it. Every ALSA call on
// an open stream runs on that thread, so no two threads ever use the handle at once.
class AlsaStream {
public:
    AlsaStream(const char* name, bool capture) : name_(name ? name : "default"), capture_(capture) {}
    ~AlsaStream() { ForceClose(); }

    bool Open(PcmCallback callback) {
        std::unique_lock<std::mutex> l(mutex_);
        if (pcm_) return false;
        snd_pcm_t* pcm = nullptr;
        if (snd_pcm_open(&pcm, name_.c_str(), capture_ ? SND_PCM_STREAM_CAPTURE : SND_PCM_STREAM_PLAYBACK,
                         SND_PCM_NONBLOCK) < 0)
            return false;
        if (snd_pcm_set_params(pcm, SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED, 1, kPcmSampleRate,
                               1, kAlsaLatencyUs) < 0) {
            snd_pcm_close(pcm);
            return false;
        }
        pcm_ = pcm;
        callback_ = std::move(callback);
        quit_ = false;
        resetRequested_ = false;
        started_ = !capture_;
        offset_ = 0;
        try {
            worker_ = std::thread(&AlsaStream::Run, this);
        } catch (const std::system_error&) {
            snd_pcm_close(pcm_);
            pcm_ = nullptr;
            callback_ = nullptr;
            return false;
        }
        PcmCallback cb = callback_;
        l.unlock();
        if (cb) cb(capture_ ? kPcmInOpen : kPcmOutOpen, nullptr);
        return true;
    }

    bool IsOpen() const {
        std::lock_guard<std::mutex> g(mutex_);
        return pcm_ != nullptr;
    }

    bool Prepare(PcmBlock* b) {
        std::lock_guard<std::mutex> g(mutex_);
        if (!pcm_ || !b || !b->data) return false;
        b->flags |= kPcmBlockPrepared;
        return true;
    }

    bool Unprepare(PcmBlock* b) {
        std::lock_guard<std::mutex> g(mutex_);
        if (!b || (b->flags & kPcmBlockInQueue)) return false;
        b->flags &= ~kPcmBlockPrepared;
        return true;
    }

    bool Queue(PcmBlock* b) {
        std::lock_guard<std::mutex> g(mutex_);
        if (!pcm_ || !b || !(b->flags & kPcmBlockPrepared) || (b->flags & kPcmBlockInQueue) || queue_.Full())
            return false;
        b->flags = (b->flags & ~kPcmBlockDone) | kPcmBlockInQueue;
        b->bytesRecorded = 0;
        queue_.PushBack(b);
        cv_.notify_all();
        return true;
    }

    bool StartCapture() {
        std::lock_guard<std::mutex> g(mutex_);
        if (!pcm_) return false;
        started_ = true;
        startTick_ = GetTick();
        framesDelivered_ = 0;
        cv_.notify_all();
        return true;
    }

    bool Reset() {
        std::unique_lock<std::mutex> l(mutex_);
        if (!pcm_) return false;
        if (std::this_thread::get_id() == worker_.get_id()) return false;  // from a completion
        resetRequested_ = true;
        cv_.notify_all();
        cv_.wait(l, [this] { return !resetRequested_; });
        return true;
    }

    bool Close() {
        std::unique_lock<std::mutex> l(mutex_);
        if (!pcm_ || !queue_.Empty()) return false;
        if (std::this_thread::get_id() == worker_.get_id()) return false;
        quit_ = true;
        cv_.notify_all();
        l.unlock();
        worker_.join();
        l.lock();
        if (!capture_) {
            // Whatever the device has taken is played out, as a closing waveform device does.
            snd_pcm_nonblock(pcm_, 0);
            snd_pcm_drain(pcm_);
        }
        snd_pcm_close(pcm_);
        pcm_ = nullptr;
        PcmCallback cb = std::move(callback_);
        callback_ = nullptr;
        l.unlock();
        if (cb) cb(capture_ ? kPcmInClose : kPcmOutClose, nullptr);
        return true;
    }

private:
    // Last resort of the destructor: no completion is reported any more.
    void ForceClose() {
        std::unique_lock<std::mutex> l(mutex_);
        if (!pcm_) return;
        quit_ = true;
        cv_.notify_all();
        l.unlock();
        if (worker_.joinable()) worker_.join();
        snd_pcm_drop(pcm_);
        snd_pcm_close(pcm_);
        pcm_ = nullptr;
        callback_ = nullptr;
    }

    // Called with the lock held; hands the front block back.
    void CompleteFront(std::unique_lock<std::mutex>& l) {
        PcmBlock* b = queue_.PopFront();
        b->flags = (b->flags & ~kPcmBlockInQueue) | kPcmBlockDone;
        if (capture_) b->bytesRecorded = static_cast<uint32_t>(offset_);
        offset_ = 0;
        PcmCallback& cb = callback_;
        l.unlock();
        if (cb) cb(capture_ ? kPcmInData : kPcmOutDone, b);
        l.lock();
    }

    void HandleReset(std::unique_lock<std::mutex>& l) {
        snd_pcm_drop(pcm_);
        snd_pcm_prepare(pcm_);
        if (capture_) started_ = false;
        PcmBlock* returned[kMaxQueued];
        int n = 0;
        while (!queue_.Empty()) {
            PcmBlock* b = queue_.PopFront();
            b->flags = (b->flags & ~kPcmBlockInQueue) | kPcmBlockDone;
            b->bytesRecorded = (capture_ && n == 0) ? static_cast<uint32_t>(offset_) : 0;
            returned[n++] = b;
        }
        offset_ = 0;
        l.unlock();
        for (int i = 0; i < n; ++i)
            if (callback_) callback_(capture_ ? kPcmInData : kPcmOutDone, returned[i]);
        l.lock();
        resetRequested_ = false;
        cv_.notify_all();
    }

    void Run() {
        std::unique_lock<std::mutex> l(mutex_);
        int failures = 0;
        for (;;) {
            if (resetRequested_) {
                HandleReset(l);
                continue;
            }
            if (quit_) break;
            if (queue_.Empty() || !started_) {
                cv_.wait(l);
                continue;
            }
            PcmBlock* b = queue_.Front();
            size_t total = b->bufferLength - b->bufferLength % kPcmBytesPerSample;
            if (offset_ >= total) {
                CompleteFront(l);
                continue;
            }
            size_t offset = offset_;
            l.unlock();
            snd_pcm_uframes_t want = (total - offset) / kPcmBytesPerSample;
            snd_pcm_sframes_t n;
            if (capture_) {
                uint32_t due = (GetTick() - startTick_) * (kPcmSampleRate / 1000) + kCaptureSlackFrames;
                uint32_t allowed = due > framesDelivered_ ? due - framesDelivered_ : 0;
                if (allowed == 0) {
                    SleepMs(10);
                    l.lock();
                    continue;
                }
                if (want > allowed) want = allowed;
                n = snd_pcm_readi(pcm_, b->data + offset, want);
            } else {
                n = snd_pcm_writei(pcm_, b->data + offset, want);
            }
            if (n == -EAGAIN || n == 0) {
                snd_pcm_wait(pcm_, kWaitStepMs);
            } else if (n < 0) {
                if (snd_pcm_recover(pcm_, static_cast<int>(n), 1) < 0) {
                    ++failures;
                    SleepMs(kWaitStepMs);
                }
            } else {
                failures = 0;
                if (capture_) framesDelivered_ += static_cast<uint32_t>(n);
            }
            l.lock();
            if (n > 0) offset_ += static_cast<size_t>(n) * kPcmBytesPerSample;
            // A device that keeps failing must not hold the block for ever: playback gives it
            // back unplayed, capture keeps trying (its blocks come back with Reset).
            if (!capture_ && failures >= 25 && !queue_.Empty()) {
                failures = 0;
                CompleteFront(l);
            }
        }
    }

    std::string name_;
    bool capture_;
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    snd_pcm_t* pcm_ = nullptr;
    PcmCallback callback_;
    BlockRing queue_;
    size_t offset_ = 0;
    bool quit_ = false;
    bool resetRequested_ = false;
    bool started_ = false;
    uint32_t startTick_ = 0;
    uint32_t framesDelivered_ = 0;
    std::thread worker_;
};

class AlsaOutput : public PcmOutput {
public:
    explicit AlsaOutput(const char* name) : stream_(name, false) {}
    bool Open(PcmCallback callback) override { return stream_.Open(std::move(callback)); }
    bool IsOpen() const override { return stream_.IsOpen(); }
    bool Prepare(PcmBlock* block) override { return stream_.Prepare(block); }
    bool Unprepare(PcmBlock* block) override { return stream_.Unprepare(block); }
    bool Write(PcmBlock* block) override { return stream_.Queue(block); }
    bool Reset() override { return stream_.Reset(); }
    bool Close() override { return stream_.Close(); }

private:
    AlsaStream stream_;
};

class AlsaInput : public PcmInput {
public:
    explicit AlsaInput(const char* name) : stream_(name, true) {}
    bool Open(PcmCallback callback) override { return stream_.Open(std::move(callback)); }
    bool IsOpen() const override { return stream_.IsOpen(); }
    bool Prepare(PcmBlock* block) override { return stream_.Prepare(block); }
    bool Unprepare(PcmBlock* block) override { return stream_.Unprepare(block); }
    bool AddBuffer(PcmBlock* block) override { return stream_.Queue(block); }
    bool Start() override { return stream_.StartCapture(); }
    bool Reset() override { return stream_.Reset(); }
    bool Close() override { return stream_.Close(); }

private:
    AlsaStream stream_;
};

}  // namespace

std::unique_ptr<PcmOutput> CreateAlsaOutput(const char* deviceName) {
    return std::make_unique<AlsaOutput>(deviceName);
}

std::unique_ptr<PcmInput> CreateAlsaInput(const char* deviceName) {
    return std::make_unique<AlsaInput>(deviceName);
}

}  // namespace kavro
