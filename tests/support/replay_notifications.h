#pragma once
#include <cstdint>

namespace kavro {
namespace replaytest {

// Host callback that counts end-of-file notifications (code 7) per handle. Install() starts the
// library with it; Uninstall() cleans up.
void Install();
void Uninstall();
// End notifications seen so far for a handle.
int EndCount(uint32_t handle);
// Waits until at least `count` end notifications arrived for the handle; false after timeoutMs.
bool WaitForEnds(uint32_t handle, int count, uint32_t timeoutMs);
// Any notification seen with an argument other than 0 for code 7.
bool SawBadEndArgument();

}  // namespace replaytest
}  // namespace kavro
