#include "display/Overlay.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "api/ClientHandle.h"

namespace kavro {

namespace {

bool Defined(const int32_t* r) { return r[0] != 0 || r[1] != 0 || r[2] != 0 || r[3] != 0; }

void MarkRegion(IOverlayCanvas* canvas, int index, const int32_t* r, int32_t w, int32_t h,
                OverlayColour colour) {
    const int32_t left = ScaleRegionX(r[0], w), top = ScaleRegionY(r[1], h);
    const int32_t right = ScaleRegionX(r[2], w), bottom = ScaleRegionY(r[3], h);
    char number[4];
    const int n = std::snprintf(number, sizeof number, "%d", index);
    canvas->DrawPlainText(left + 5, top + 5, number, size_t(n));
    canvas->FrameRect(left, top, right, bottom, colour);
}

}  // namespace

int32_t ScaleRegionX(int32_t x, int32_t windowWidth) {
    return int32_t(double(x) * double(float(windowWidth)) / 704.0);
}

int32_t ScaleRegionY(int32_t y, int32_t windowHeight) {
    return int32_t(double(y) * double(float(windowHeight)) / 576.0);
}

int DrawOverlay(IOverlayCanvas* canvas, ClientHandle* client, bool manualRecording, uint32_t now) {
    if (!canvas || !client || !canvas->Ready()) return 0;
    if (client->videoWnd == 0 || client->self == 0) return 0;
    const int32_t w = client->wndWidth, h = client->wndHeight;
    const int32_t show = client->showMdRegion;
    MdRegionTable regions;
    {
        std::lock_guard<std::mutex> g(client->mdLock);
        regions = client->mdRegions;
    }

    if (show & 1) {
        for (int i = 0; i < 16; ++i) {
            const int32_t* r = regions.rect[i];
            if (Defined(r)) MarkRegion(canvas, i, r, w, h, OverlayColour::kWhite);
        }
    }
    if (show & 2) {
        for (int i = 0; i < 16; ++i) {
            const int32_t* r = regions.rect[i];
            const uint32_t bit = 1u << i;
            if (!Defined(r) || !(client->mdState.load() & bit)) continue;
            // Ticks wrap: the distance is the smaller way round.
            const uint32_t age = now - client->mdTicks[i].load();
            const uint32_t distance = age > 0x80000000u ? 0u - age : age;
            if (distance >= kMotionShowMs) {
                client->mdState.fetch_and(~bit);
                continue;
            }
            MarkRegion(canvas, i, r, w, h, OverlayColour::kRed);
        }
    }
    if (manualRecording) canvas->DrawRecordingText(w - 22, 0, "Rec", 3);
    return 0;
}

}  // namespace kavro
