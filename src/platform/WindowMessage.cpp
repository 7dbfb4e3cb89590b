#include "platform/WindowMessage.h"

namespace kavro {

// Replaced by the X11 delivery; until then window notifications are dropped.
bool PostWindowMessage(uint32_t, uint32_t, int32_t, int32_t) { return false; }

}  // namespace kavro
