#pragma once
#include <cstddef>
#include <cstdint>

namespace kavro {

struct ClientHandle;

enum class OverlayColour { kWhite, kRed };

// What the overlay needs of a drawing layer, in window pixels of the window-sized back buffer.
class IOverlayCanvas {
public:
    virtual ~IOverlayCanvas() = default;
    // false when the layer's font or colours cannot be made; nothing is drawn then.
    virtual bool Ready() = 0;
    // One-pixel outline just inside [left, right) x [top, bottom); nothing for an empty rectangle.
    virtual void FrameRect(int32_t left, int32_t top, int32_t right, int32_t bottom,
                           OverlayColour colour) = 0;
    // Text whose cell starts at (x, y) top-left, in the layer's plain settings (region numbers).
    virtual void DrawPlainText(int32_t x, int32_t y, const char* text, size_t length) = 0;
    // Red text in "Arial" bold 15 px on a transparent background, cell top-left at (x, y).
    virtual void DrawRecordingText(int32_t x, int32_t y, const char* text, size_t length) = 0;
};

// How long a region stays red after its last motion report.
constexpr uint32_t kMotionShowMs = 3000;

// Marks motion regions and a running manual recording over the picture. `manualRecording` is
// the source's IsRecording (alarm recordings do not count); `now` a tick count. Clears the
// mdState bit of a region whose motion report is kMotionShowMs or more old. Returns 0.
int DrawOverlay(IOverlayCanvas* canvas, ClientHandle* client, bool manualRecording, uint32_t now);

// Region coordinates are given on a 704 x 576 grid whatever the picture size.
int32_t ScaleRegionX(int32_t x, int32_t windowWidth);
int32_t ScaleRegionY(int32_t y, int32_t windowHeight);

}  // namespace kavro
