#include "api/Notification.h"

namespace kavro {

// Placeholder until the dispatcher is merged: notifications go nowhere.
void PostNotification(ClientHandle*, int32_t, int32_t) {}

void PostReplayEnd(ClientHandle*) {}

}  // namespace kavro
