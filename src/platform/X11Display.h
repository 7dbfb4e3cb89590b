#pragma once
#include <atomic>
#include <cstdint>
#include <memory>

#include "display/Overlay.h"

namespace kavro {

// Geometry and format of an X11 window as the presenter needs them.
struct X11WindowInfo {
    int32_t width = 0;
    int32_t height = 0;
    int32_t depth = 0;
    int32_t surfaceFormat = 0;  // SurfaceFormat the window's visual takes (0: none we write)
};

// One X11 display connection and the drawing objects of one presenter: a picture image at the
// picture's size (MIT-SHM when the server offers it, a plain XImage otherwise), a pixmap that
// holds the uploaded picture, a back pixmap at the window's size that XRender scales it into,
// and the overlay drawing on that back pixmap. X errors on this connection are recorded, never
// passed to the host's error handler; every operation that can meet one reports it as failure.
// Not thread-safe: the owner serialises all calls.
class X11Display {
public:
    X11Display();
    ~X11Display();
    X11Display(const X11Display&) = delete;
    X11Display& operator=(const X11Display&) = delete;

    // XOpenDisplay(NULL). false when no X server can be reached.
    bool Open();
    void Close();
    bool IsOpen() const;
    // The server connection broke; Close and Open again to go on.
    bool IsLost() const;

    // Size, depth and pixel format of a window; false when it does not exist (any more).
    bool QueryWindow(uint32_t window, X11WindowInfo* info);

    // The window-sized back buffer for `window`. Replaces an existing one.
    bool CreateBackBuffer(uint32_t window, int32_t width, int32_t height);
    void ReleaseBackBuffer();
    bool HasBackBuffer() const;

    // The picture surface of width x height in the format of `window`'s visual. Replaces an
    // existing one.
    bool CreatePictureSurface(uint32_t window, int32_t width, int32_t height);
    void ReleasePictureSurface();
    bool HasPictureSurface() const;
    uint8_t* PictureData();
    int32_t PicturePitch() const;
    bool UsesSharedMemory() const;
    // Hands the picture memory to the server.
    bool UploadPicture();

    // Scales the uploaded picture over the whole back buffer.
    bool StretchPictureToBack();
    // Drawing on the back buffer for the overlay; null without a back buffer.
    IOverlayCanvas* BackCanvas();
    // One copy of the back buffer into `window`, then a round trip; false if the server
    // reported any error since the last check (the window is gone, for instance).
    bool CopyBackToWindow(uint32_t window);

    // Sends an X11 ClientMessage (format 32) to `window` and waits for the server to take it.
    bool SendClientMessage(uint32_t window, uint32_t messageType, long data0, long data1);

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace kavro
