#pragma once
#include <cstdint>

namespace kavro {

// Sends a notification to a host window as an X11 ClientMessage (type = msg, data.l[0] = code,
// data.l[1] = argument). false when it could not be sent (no display, no such window).
bool PostWindowMessage(uint32_t wnd, uint32_t msg, int32_t code, int32_t argument);

}  // namespace kavro
