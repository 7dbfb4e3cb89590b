#include "display/Pacing.h"

#include <algorithm>
#include <cmath>

#include "api/ClientHandle.h"

namespace kavro {

int32_t ClampLiveFps(int32_t fps) { return (fps < 1 || fps > 30) ? 30 : fps; }

bool LiveShouldRead(int32_t queuedFrames, int32_t jitterFrames, LiveQueueState& state) {
    state.excess = queuedFrames - jitterFrames;
    if (state.excess > 0) {
        state.resync = 1;
        return true;
    }
    if (static_cast<uint32_t>(queuedFrames) >= static_cast<uint32_t>(state.minQueue)) return true;
    // A large jitter allowance is built up again before pictures flow, so they flow evenly.
    if (jitterFrames > 9) state.minQueue = jitterFrames / 2;
    state.resync = 1;
    return false;
}

int32_t LiveFramesWanted(int32_t jitterFrames, const LiveQueueState& state) {
    const int64_t beyondJitter = static_cast<int64_t>(jitterFrames) + 1;
    int64_t wanted = beyondJitter;
    if (state.minQueue >= 0 && state.minQueue < wanted) wanted = state.minQueue;
    return wanted < 0 ? 0 : static_cast<int32_t>(wanted);
}

uint32_t LiveResyncSleepMs(uint32_t sincePreviousMs, int32_t excess) {
    if (sincePreviousMs == 0) {
        if (excess < 5) return 20;
        if (excess < 15) return 10;
        return 1;
    }
    if (sincePreviousMs < 10) {
        if (excess < 2) return 20;
        if (excess == 2) return 15;
        if (excess == 3) return 10;
        if (excess < 8) return 1;
        return 0;
    }
    if (sincePreviousMs < 20) return excess < 3 ? 1 : 0;
    return 0;
}

int32_t LiveWaitMs(uint32_t intervalMs, uint32_t count, uint32_t base, uint32_t now) {
    // Tick arithmetic wraps; the difference is what counts.
    return static_cast<int32_t>(intervalMs * count + base - now);
}

int64_t PaceDueMs(int32_t shown, int32_t fps, int32_t speed) {
    if (fps == 0) return 0;
    const int32_t s = std::max(-4, std::min(4, speed));
    const double factor = std::ldexp(1.0, -s);  // 0.5^s for s >= 0, 2^-s for s < 0
    return static_cast<int64_t>(factor * (static_cast<double>(shown) * 1000.0 / fps));
}

void Pace(PacingRecord& pacing, int32_t speed, PaceClock& clock) {
    const int32_t fps = pacing.fps.load();
    if (fps == 0) return;
    uint32_t now = clock.Now();
    if (speed != pacing.speed.load()) {
        pacing.speed = speed;
        pacing.shown = 0;
        pacing.startMs = now;
    }
    const int32_t shown = pacing.shown.load() + 1;
    pacing.shown = shown;
    const int64_t elapsed = static_cast<int32_t>(now - pacing.startMs.load());
    const int64_t delay = PaceDueMs(shown, fps, speed) - elapsed;
    if (delay > 0) clock.Sleep(static_cast<uint32_t>(std::min<int64_t>(delay, 0x7FFFFFFF)));
    if (shown >= kPaceRunLength) {
        pacing.shown = 0;
        pacing.startMs = clock.Now();
    }
}

namespace {

// Exchanges rows a and b, each reversed into the other; a == b reverses the row in place.
void SwapReversed(uint8_t* a, uint8_t* b, int32_t width) {
    if (a == b) {
        std::reverse(a, a + width);
        return;
    }
    for (int32_t j = 0; j < width; ++j) std::swap(a[j], b[width - 1 - j]);
}

void RotatePlane(uint8_t* plane, int32_t width, int32_t height, int32_t stride) {
    for (int32_t i = 0; i < (height + 1) / 2; ++i)
        SwapReversed(plane + static_cast<size_t>(i) * stride,
                     plane + static_cast<size_t>(height - 1 - i) * stride, width);
}

}  // namespace

void Rotate180(DecodedPicture& picture) {
    const int32_t w = picture.width, h = picture.height;
    if (!picture.y || w <= 0 || h <= 0 || picture.yStride < w) return;
    RotatePlane(picture.y, w, h, picture.yStride);
    const int32_t cw = w / 2, ch = h / 2;
    if (!picture.u || !picture.v || cw <= 0 || ch <= 0 || picture.uvStride < cw) return;
    RotatePlane(picture.u, cw, ch, picture.uvStride);
    RotatePlane(picture.v, cw, ch, picture.uvStride);
}

}  // namespace kavro
