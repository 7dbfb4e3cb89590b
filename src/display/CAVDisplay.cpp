#include "display/CAVDisplay.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "api/ClientHandle.h"
#include "api/Library.h"
#include "codec/H264Decoder.h"
#include "codec/MjpegDecoder.h"
#include "conduit/CIConduit.h"
#include "display/Overlay.h"
#include "display/Pacing.h"
#include "display/VideoPresenter.h"
#include "platform/Tick.h"
#include "platform/X11Display.h"
#include "record/Snapshot.h"
#include "source/CAVSource.h"

namespace kavro {

namespace {

constexpr uint8_t kJpegPayloadType = 26;
constexpr int kH264ChunkSize = 16384;
constexpr int kJpegFrameSize = 0x100000;
constexpr int kReplayPieceSize = 1024;
constexpr uint32_t kReadTimeoutMs = 60;
// Longest single sleep of the loops, so that a stop request is seen quickly.
constexpr uint32_t kSleepSliceMs = 10;
constexpr uint32_t kFrameWaitMs = 20;

}  // namespace

struct CAVDisplay::Impl : PaceClock {
    // The decoder's planes are read-only (later pictures are predicted from them): turn a copy.
    std::vector<uint8_t> rotated;
    DecodedPicture RotatedCopy(const DecodedPicture& in) {
        DecodedPicture out = in;
        // Chroma of odd sizes has the extra column and row that readers of the picture expect.
        const int32_t cw = (in.width + 1) / 2, ch = (in.height + 1) / 2;
        const size_t ySize = size_t(in.width) * size_t(in.height), cSize = size_t(cw) * size_t(ch);
        if (in.width <= 0 || in.height <= 0 || !in.y || !in.u || !in.v) return in;
        if (rotated.size() < ySize + 2 * cSize) rotated.resize(ySize + 2 * cSize);
        out.y = rotated.data();
        out.u = out.y + ySize;
        out.v = out.u + cSize;
        out.yStride = in.width;
        out.uvStride = cw;
        for (int32_t r = 0; r < in.height; ++r)
            std::memcpy(out.y + size_t(r) * out.yStride, in.y + size_t(r) * in.yStride, size_t(in.width));
        for (int32_t r = 0; r < ch; ++r) {
            std::memcpy(out.u + size_t(r) * out.uvStride, in.u + size_t(r) * in.uvStride, size_t(cw));
            std::memcpy(out.v + size_t(r) * out.uvStride, in.v + size_t(r) * in.uvStride, size_t(cw));
        }
        Rotate180(out);
        return out;
    }

    explicit Impl(CAVDisplay* o) : owner(o), presenter(MakeVideoPresenter()) { lock.Init(); }

    CAVDisplay* owner;
    ClientHandle* client = nullptr;
    CIConduit* conduit = nullptr;
    CAVSource* source = nullptr;
    H264Decoder* h264 = nullptr;
    MjpegDecoder* mjpeg = nullptr;
    std::unique_ptr<VideoPresenter> presenter;
    std::atomic<int32_t> snapshotRequested{0};
    JMutex lock;  // snapshotRequested and the client's snapshotPath
    uint8_t h264Chunk[kH264ChunkSize];
    std::unique_ptr<uint8_t[]> jpegFrame;  // lives as long as a JPEG decoder is wanted

    // Window measuring for host threads and decoder creation; its own server connection.
    std::mutex measureLock;
    std::unique_ptr<X11Display> measureDisplay;

    bool Stopping() const { return owner->stopRequested.load() != 0; }

    uint32_t Now() override { return GetTick(); }
    // Sleeps in short slices and gives up once a stop is requested.
    void Sleep(uint32_t ms) override {
        while (ms > 0 && !Stopping()) {
            const uint32_t slice = std::min(ms, kSleepSliceMs);
            SleepMs(slice);
            ms -= slice;
        }
    }

    static int DrawCallback(IOverlayCanvas* canvas, void* context) {
        Impl* self = static_cast<Impl*>(context);
        const bool recording = self->source && self->source->IsRecording();
        return DrawOverlay(canvas, self->client, recording, GetTick());
    }

    void MeasureWindow(uint32_t wnd) {
        if (wnd == 0 || !client) return;
        std::lock_guard<std::mutex> g(measureLock);
        if (measureDisplay && measureDisplay->IsLost()) measureDisplay.reset();
        if (!measureDisplay) {
            std::unique_ptr<X11Display> d(new X11Display);
            if (!d->Open()) return;
            measureDisplay = std::move(d);
        }
        X11WindowInfo info;
        if (!measureDisplay->QueryWindow(wnd, &info)) return;
        client->wndWidth = info.width;
        client->wndHeight = info.height;
    }

    bool IsJpeg() const { return client && client->videoPayloadType.load() == kJpegPayloadType; }

    bool CreateH264() {
        if (h264) return true;
        const H264DecCreateRecord rec = MakeH264DecCreateRecord(
            client->videoWidth.load(), client->videoHeight.load(), client->streamBitRate.load());
        {
            std::lock_guard<std::mutex> g(H264DecoderLock());
            h264 = Hi264DecCreate(&rec);
        }
        MeasureWindow(client->videoWnd.load());
        return h264 != nullptr;
    }

    bool CreateJpegOnly() {
        if (mjpeg) return true;
        const MjpegDecCreateRecord rec =
            MakeMjpegDecCreateRecord(client->videoWidth.load(), client->videoHeight.load());
        std::lock_guard<std::mutex> g(JpegDecoderLock());
        mjpeg = HiMJPEGDecCreate(&rec);
        return mjpeg != nullptr;
    }

    void DestroyH264() {
        if (!h264) return;
        std::lock_guard<std::mutex> g(H264DecoderLock());
        Hi264DecDestroy(h264);
        h264 = nullptr;
    }

    void DestroyJpegOnly() {
        if (!mjpeg) return;
        std::lock_guard<std::mutex> g(JpegDecoderLock());
        HiMJPEGDecDestroy(mjpeg);
        mjpeg = nullptr;
    }

    int CreateDecoder() {
        if (!client) return 0;
        if (IsJpeg()) {
            if (!jpegFrame) jpegFrame.reset(new (std::nothrow) uint8_t[kJpegFrameSize]);
            if (!jpegFrame) return 0;
            return CreateJpegOnly() ? 1 : 0;
        }
        return CreateH264() ? 1 : 0;
    }

    void ReleaseDecoder() {
        DestroyH264();
        DestroyJpegOnly();
        jpegFrame.reset();
    }

    // Takes the pending snapshot request, if any: copies the path out and clears the request.
    bool TakeRequest(char (&path)[kSnapshotPathSize]) {
        if (!snapshotRequested.load() || !client) return false;
        JMutexAutoLock g(lock);
        if (!snapshotRequested.load()) return false;
        snapshotRequested = 0;
        const size_t n = strnlen(client->snapshotPath, sizeof client->snapshotPath);
        const size_t m = std::min(n, sizeof path - 1);
        memcpy(path, client->snapshotPath, m);
        path[m] = '\0';
        return true;
    }

    void SnapshotPicture(const DecodedPicture& picture) {
        char path[kSnapshotPathSize];
        if (TakeRequest(path)) TakeSnapshot(path, picture);
    }

    void SnapshotFrame(const uint8_t* frame, int n) {
        char path[kSnapshotPathSize];
        if (TakeRequest(path) && n > 0) TakeFrameSnapshot(path, frame, static_cast<size_t>(n));
    }

    // Draws when the view is on. displayBusy goes up before viewOn is looked at, so that a host
    // thread that clears viewOn and then sees displayBusy at 0 knows no drawing can follow.
    void Present(const DecodedPicture& picture) {
        client->displayBusy = 1;
        if (client->viewOn.load() == 1) {
            const uint32_t wnd = client->videoWnd.load();
            if (wnd != 0) presenter->Draw(wnd, picture);
        }
        client->displayBusy = 0;
    }

    // Replay: holds while paused, one picture per step request. `snapshot` serves a request
    // from the picture on screen meanwhile.
    template <typename Snapshot>
    void PauseHandling(Snapshot snapshot) {
        bool waited = false;
        while (client->replayPause.load() == 1 && !Stopping()) {
            waited = true;
            if (client->replaySeekPaused.load()) {
                client->replaySeekPaused = 0;
                for (int i = 0; i < 10 && client->replaySeekPending.load() && !Stopping(); ++i) Sleep(100);
                break;
            }
            snapshot();
            Sleep(100);
        }
        while (client->replayPause.load() == 2 && !Stopping()) {
            waited = true;
            snapshot();
            Sleep(100);
            if (client->replayStep.load()) {
                client->replayStep = 0;
                break;
            }
        }
        if (waited) {
            // The time spent waiting is not made up afterwards.
            client->pacing.shown = 0;
            client->pacing.startMs = Now();
        }
    }

    void H264Loop();
    void JpegLoop();
};

void CAVDisplay::Impl::H264Loop() {
    const int32_t fps = ClampLiveFps(client->fps.load());
    client->fps = fps;
    client->jitterFrames = 0;
    const uint32_t interval = static_cast<uint32_t>(1000 / fps);
    LiveQueueState queue;
    uint32_t count = 0;
    uint32_t base = GetTick();
    uint32_t last = 0;

    while (!Stopping()) {
        const bool live = client->isFile == 0;
        int n = 0;
        if (live) {
            const int32_t queued = conduit ? conduit->GetFrameCount() : 0;
            client->queuedFrames = queued;
            const int32_t jitter = client->jitterFrames.load();
            if (!LiveShouldRead(queued, jitter, queue)) {
                // Bounded, so a new jitter setting or a stop is seen soon.
                if (conduit)
                    conduit->WaitFrames(LiveFramesWanted(jitter, queue), kFrameWaitMs);
                else
                    SleepMs(kFrameWaitMs);
                continue;
            }
            if (conduit) n = conduit->ReadFrame(h264Chunk, kH264ChunkSize, nullptr, kReadTimeoutMs);
            queue.minQueue = 2;
        } else if (conduit) {
            n = conduit->Read(h264Chunk, kReplayPieceSize, nullptr, kReadTimeoutMs);
        }
        if (n <= 0) {
            Sleep(10);
            continue;
        }
        if (client->viewOn.load() != 1) {
            DestroyH264();
            client->displayBusy = 0;
            continue;
        }
        if (!h264) {
            queue.resync = 1;
            if (!CreateH264()) continue;
        }

        DecodedPicture picture;
        // A live read shorter than the buffer is the tail of a whole frame from the conduit.
        const uint32_t flags = live && n < kH264ChunkSize ? kH264DecEndOfPicture : 0;
        int32_t r = Hi264DecFrame(h264, h264Chunk, static_cast<uint32_t>(n), 0, &picture, flags);
        for (;;) {
            if (r == kH264DecNeedInput) break;
            if (r == kH264DecEnd) return;
            if (r == kH264DecRecreate) {
                DestroyH264();
                if (!CreateH264()) return;
                break;
            }
            if (Stopping()) break;
            if (r == kH264DecPicture) {
                client->decodedWidth = picture.width;
                client->decodedHeight = picture.height;
                client->firstFrameShown = 1;
                if (client->rotate180.load()) picture = RotatedCopy(picture);
                if (live) {
                    const uint32_t now = GetTick();
                    if (queue.resync) {
                        const uint32_t sleep = LiveResyncSleepMs(now - last, queue.excess);
                        if (sleep) Sleep(sleep);
                        base = GetTick();
                        count = 0;
                        queue.resync = 0;
                    } else {
                        const int32_t wait = LiveWaitMs(interval, count, base, now);
                        if (wait >= 10) Sleep(static_cast<uint32_t>(wait));
                    }
                    ++count;
                }
                last = GetTick();
                Present(picture);
                SnapshotPicture(picture);
                client->frameCount.fetch_add(1);
                if (!live) {
                    PauseHandling([&] { SnapshotPicture(picture); });
                    Pace(client->pacing, client->replaySpeed.load(), *this);
                }
            }
            r = Hi264DecFrame(h264, nullptr, 0, 0, &picture, 0);
        }
    }
}

void CAVDisplay::Impl::JpegLoop() {
    client->pacing.fps = client->fps.load();
    client->pacing.startMs = Now();
    client->pacing.shown = 0;

    while (!Stopping()) {
        if (!jpegFrame) jpegFrame.reset(new (std::nothrow) uint8_t[kJpegFrameSize]);
        int framesLeft = 0;
        int n = 0;
        if (jpegFrame && conduit)
            n = conduit->ReadFrame(jpegFrame.get(), kJpegFrameSize, &framesLeft, kReadTimeoutMs);
        if (n <= 0) {
            Sleep(10);
            continue;
        }
        const bool live = client->isFile == 0;
        // Live: while more than one further frame waits, pictures follow at double rate.
        const int32_t speed = live ? (framesLeft > 1 ? 1 : 0) : client->replaySpeed.load();
        if (client->viewOn.load() != 1) {
            DestroyJpegOnly();
            client->displayBusy = 0;
            continue;
        }
        if (!mjpeg && !CreateJpegOnly()) continue;

        DecodedPicture picture;
        if (HiMJPEGDecFrame(mjpeg, jpegFrame.get(), static_cast<uint32_t>(n), 0, &picture, 0) !=
            kMjpegDecPicture)
            continue;
        if (client->rotate180.load()) picture = RotatedCopy(picture);
        Present(picture);
        SnapshotFrame(jpegFrame.get(), n);
        Pace(client->pacing, speed, *this);
        if (!live) PauseHandling([&] { SnapshotFrame(jpegFrame.get(), n); });
    }
}

CAVDisplay::CAVDisplay() : impl_(new Impl(this)) {}

CAVDisplay::~CAVDisplay() {
    StopAndWait();
    impl_->presenter.reset();
}

void CAVDisplay::Attach(ClientHandle* client, CAVSource* source) {
    impl_->client = client;
    impl_->conduit = client ? client->videoConduit : nullptr;
    impl_->source = source;
    impl_->presenter->Attach(client, &Impl::DrawCallback, impl_.get());
}

int CAVDisplay::CreateDecoder() { return impl_->CreateDecoder(); }

void CAVDisplay::ReleaseDecoder() { impl_->ReleaseDecoder(); }

int CAVDisplay::ResetDecoder() {
    ReleaseDecoder();
    stopRequested = 0;
    return CreateDecoder();
}

void CAVDisplay::StopAndWait() {
    stopRequested = 1;
    Join();
    ReleaseDecoder();
}

int CAVDisplay::RequestSnapshot(const char* path) {
    if (!impl_->client || !PrepareSnapshotPath(path)) return 0;
    JMutexAutoLock g(impl_->lock);
    char* dst = impl_->client->snapshotPath;
    const size_t n = strnlen(path, sizeof impl_->client->snapshotPath);
    if (n >= sizeof impl_->client->snapshotPath) return 0;
    memcpy(dst, path, n + 1);
    impl_->snapshotRequested = 1;
    return 1;
}

void CAVDisplay::SetWindow(uint32_t wnd) {
    ClientHandle* client = impl_->client;
    if (!client) return;
    if (wnd != 0) impl_->MeasureWindow(wnd);
    if (wnd == client->videoWnd.load()) return;
    client->videoWnd = wnd;
    if (wnd != 0) impl_->presenter->SetWindow(wnd);
}

int CAVDisplay::Refresh() { return impl_->presenter->Refresh(); }

void* CAVDisplay::Thread() {
    ThreadStarted();
    if (!impl_->client) return nullptr;
    if (impl_->IsJpeg())
        impl_->JpegLoop();
    else
        impl_->H264Loop();
    return nullptr;
}

}  // namespace kavro
