#pragma once
#include <cstdint>
#include <memory>

#include "codec/DecodedPicture.h"
#include "display/Overlay.h"

namespace kavro {

struct ClientHandle;

// Overlay drawing the presenter runs on the window-sized back buffer before it reaches the
// window. Called inside the presenter's lock, on the thread that presents.
using PresenterDrawCallback = int (*)(IOverlayCanvas* canvas, void* context);

// Puts decoded pictures into the host's video window: picture surface at the picture's size,
// scaled to fill the window, overlays, one copy to the window. The display thread calls Draw;
// host threads call Refresh and SetWindow. Every operation takes the presenter's own recursive
// lock, so they may be called from any thread and from inside one another.
class VideoPresenter {
public:
    virtual ~VideoPresenter() = default;

    // Client whose wndWidth/wndHeight are written and whose verticalFlip is read, and the
    // overlay drawing with its context. Called once before the first Draw.
    virtual void Attach(ClientHandle* client, PresenterDrawCallback callback, void* context) = 0;
    // Builds the surfaces for a picture of width x height in `window`; recreateVideo = false
    // keeps the picture surface (and the last picture in it).
    virtual bool Create(int32_t width, int32_t height, uint32_t window, bool recreateVideo) = 0;
    // Frees the surfaces; the picture surface only when `all`.
    virtual void ReleaseSurfaces(bool all) = 0;
    // The display thread's entry: converts the picture and presents it, building what is missing.
    virtual void Draw(uint32_t window, const DecodedPicture& picture) = 0;
    // Shows the picture surface in the window; false when nothing could be shown.
    virtual bool Present() = 0;
    // Shows the last picture again (after a resize at the new size); 0 before any picture.
    virtual int32_t Refresh() = 0;
    // Points the presenter at another window; the next Draw builds everything anew.
    virtual void SetWindow(uint32_t window) = 0;
    virtual bool IsReady() const = 0;
};

// Used where no X server can be reached: draws nothing, Refresh returns 0.
class NullPresenter : public VideoPresenter {
public:
    void Attach(ClientHandle*, PresenterDrawCallback, void*) override {}
    bool Create(int32_t, int32_t, uint32_t, bool) override { return false; }
    void ReleaseSurfaces(bool) override {}
    void Draw(uint32_t, const DecodedPicture&) override {}
    bool Present() override { return false; }
    int32_t Refresh() override { return 0; }
    void SetWindow(uint32_t) override {}
    bool IsReady() const override { return false; }
};

// The X11 presenter when an X server answers (DISPLAY), else a NullPresenter.
std::unique_ptr<VideoPresenter> MakeVideoPresenter();

}  // namespace kavro
