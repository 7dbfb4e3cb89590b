#pragma once
#include <cstdint>

#include "codec/DecodedPicture.h"

namespace kavro {

struct PacingRecord;

// Frame rate the live H.264 loop paces at: values outside 1..30 become 30.
int32_t ClampLiveFps(int32_t fps);

// Queue state of the live H.264 loop between two reads.
struct LiveQueueState {
    int32_t minQueue = 2;  // complete frames wanted before a read
    int32_t excess = 0;    // frames queued beyond the jitter allowance (latest count)
    int32_t resync = 1;    // restart the pacing run with the next picture
};

// Decides from the number of complete frames queued whether the live loop reads now; updates
// `state` (excess, resync, minQueue) as a pass of the loop does. false: wait for more frames
// (LiveFramesWanted) and ask again.
bool LiveShouldRead(int32_t queuedFrames, int32_t jitterFrames, LiveQueueState& state);

// The fewest complete frames queued for which LiveShouldRead answers true with these settings:
// what the live loop waits for instead of asking again and again.
int32_t LiveFramesWanted(int32_t jitterFrames, const LiveQueueState& state);

// Sleep before the picture that restarts a pacing run, from the time since the previous picture
// and the frames queued beyond the jitter allowance.
uint32_t LiveResyncSleepMs(uint32_t sincePreviousMs, int32_t excess);

// Time until the count-th picture after the run's start at `base` is due (negative: late).
int32_t LiveWaitMs(uint32_t intervalMs, uint32_t count, uint32_t base, uint32_t now);

// Clock of the pacer; tests substitute their own.
class PaceClock {
public:
    virtual ~PaceClock() = default;
    virtual uint32_t Now() = 0;
    virtual void Sleep(uint32_t ms) = 0;
};

// Pacing run length after which the run restarts, so rounding never adds up.
constexpr int32_t kPaceRunLength = 200;

// Milliseconds after the run's start at which picture `shown` is due at `fps` and `speed`
// (speed +n plays 2^n times as fast, -n 2^n times as slow; limited to -4..4).
int64_t PaceDueMs(int32_t shown, int32_t fps, int32_t speed);

// Waits until the next picture of the run in `pacing` is due. A speed change restarts the run.
void Pace(PacingRecord& pacing, int32_t speed, PaceClock& clock);

// Turns the picture by 180 degrees in place: luma and both chroma planes (half width, half height).
void Rotate180(DecodedPicture& picture);

}  // namespace kavro
