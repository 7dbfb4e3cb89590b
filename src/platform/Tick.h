#pragma once
#include <cstdint>

namespace kavro {

// Milliseconds of the monotonic clock, truncated to 32 bits: wraps every 49.7 days,
// so compare ticks only by unsigned difference.
uint32_t GetTick();

void SleepMs(uint32_t ms);

constexpr uint32_t kInfinite = 0xFFFFFFFFu;

}  // namespace kavro
