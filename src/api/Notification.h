#pragma once
#include <cstdint>

namespace kavro {

struct ClientHandle;

// Raises a notification of a client: to the host callback through the dispatcher queue when one
// is registered, else as a window message to the client's notifyWnd, else nowhere.
void PostNotification(ClientHandle* client, int32_t code, int32_t argument);

// End of a replayed file (code 7): delivered only through the callback queue.
void PostReplayEnd(ClientHandle* client);

}  // namespace kavro
