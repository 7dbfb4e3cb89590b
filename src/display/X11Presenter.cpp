#include "display/X11Presenter.h"

#include "api/ClientHandle.h"

namespace kavro {

X11Presenter::X11Presenter() { lock_.Init(); }

X11Presenter::~X11Presenter() {
    JMutexAutoLock g(lock_);
    ReleaseSurfaces(true);
    display_.Close();
}

bool X11Presenter::Open() {
    JMutexAutoLock g(lock_);
    return display_.Open();
}

void X11Presenter::Attach(ClientHandle* client, PresenterDrawCallback callback, void* context) {
    JMutexAutoLock g(lock_);
    client_ = client;
    drawCallback_ = callback;
    drawContext_ = context;
}

void X11Presenter::ReleaseSurfaces(bool all) {
    JMutexAutoLock g(lock_);
    if (all) {
        display_.ReleasePictureSurface();
        videoFormat_ = kFormatNone;
    }
    display_.ReleaseBackBuffer();
    backWidth_ = backHeight_ = 0;
}

bool X11Presenter::Create(int32_t width, int32_t height, uint32_t window, bool recreateVideo) {
    JMutexAutoLock g(lock_);
    ReleaseSurfaces(recreateVideo);
    if (window == 0 || width <= 0 || height <= 0) return false;
    if (width > PixelConverter::kMaxSide || height > PixelConverter::kMaxSide) return false;
    // A connection the server dropped is made again rather than left dead for good.
    if (display_.IsLost()) display_.Close();
    if (!display_.Open()) return false;
    window_ = window;
    pictureWidth_ = width;
    pictureHeight_ = height;

    X11WindowInfo info;
    if (!display_.QueryWindow(window, &info) || info.width <= 0 || info.height <= 0) return false;
    backWidth_ = info.width;
    backHeight_ = info.height;
    if (client_) {
        client_->wndWidth = info.width;
        client_->wndHeight = info.height;
    }
    if (!display_.CreateBackBuffer(window, info.width, info.height)) return false;
    if (!recreateVideo) return display_.HasPictureSurface();
    if (!display_.CreatePictureSurface(window, width, height)) return false;
    videoFormat_ = info.surfaceFormat;
    return true;
}

void X11Presenter::Draw(uint32_t window, const DecodedPicture& picture) {
    JMutexAutoLock g(lock_);
    const bool replaced = window != window_;
    if (!ready_ || replaced || picture.width != pictureWidth_ || picture.height != pictureHeight_) {
        ready_ = Create(picture.width, picture.height, window, true);
        if (!ready_) return;
    }
    uint8_t* dst = display_.PictureData();
    if (!dst) return;
    const int32_t flip = client_ ? client_->verticalFlip.load() : 0;
    if (videoFormat_ != kFormatNone)
        converter_.Convert(videoFormat_, dst, display_.PicturePitch(), picture.y, picture.u, picture.v,
                           picture.yStride, picture.uvStride, pictureWidth_, pictureHeight_, flip);
    if (!display_.UploadPicture()) {
        ready_ = false;
        return;
    }
    Present();
}

bool X11Presenter::Present() {
    JMutexAutoLock g(lock_);
    X11WindowInfo info;
    if (!display_.QueryWindow(window_, &info)) {
        // The window is gone (or the server): build anew once a window is there again.
        ready_ = false;
        return false;
    }
    if (info.width != backWidth_ || info.height != backHeight_) {
        ready_ = false;
        return false;
    }
    if (!display_.HasBackBuffer() || !display_.StretchPictureToBack()) return false;
    if (drawCallback_) {
        if (IOverlayCanvas* canvas = display_.BackCanvas()) drawCallback_(canvas, drawContext_);
    }
    if (!display_.CopyBackToWindow(window_)) {
        ready_ = false;
        return false;
    }
    return true;
}

int32_t X11Presenter::Refresh() {
    JMutexAutoLock g(lock_);
    if (!display_.HasBackBuffer() || !display_.HasPictureSurface()) return 0;
    if (!Present()) {
        if (!ready_) ready_ = Create(pictureWidth_, pictureHeight_, window_, false);
        Present();
    }
    return 1;
}

void X11Presenter::SetWindow(uint32_t window) {
    JMutexAutoLock g(lock_);
    window_ = window;
    ready_ = false;
}

bool X11Presenter::IsReady() const {
    JMutexAutoLock g(lock_);
    return ready_;
}

int32_t X11Presenter::VideoFormat() const {
    JMutexAutoLock g(lock_);
    return videoFormat_;
}

bool X11Presenter::UsesSharedMemory() const {
    JMutexAutoLock g(lock_);
    return display_.UsesSharedMemory();
}

}  // namespace kavro
