#pragma once
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "kavro.h"

namespace kavro {

struct ClientHandle;

// Wait-time settings of KAVRO_SetWaitTime, already corrected. Read them when an attempt starts.
int32_t GetConnectTimeoutSec();
int32_t GetRetryCount();  // -1 = without limit
int32_t GetRetryIntervalSec();

// Serialise creation and destruction (not decoding) of decoders across all clients.
std::mutex& H264DecoderLock();
std::mutex& JpegDecoderLock();

// The host callback given to KAVRO_Startup, or nullptr.
KAVRO_NOTIFY GetNotifyCallback();
// Between a successful KAVRO_Startup and the following KAVRO_Cleanup.
bool IsLibraryStarted();

// Client initialisation for KAVRO_ClientStart and KAVRO_OpenFile. Both reset every field of the
// handle first. InitLiveClient returns false when record is null or the host part of the address
// does not fit host (31 characters): the handle then holds a cut-off name that must not be used
// to connect. InitFileClient returns false when path is null or longer than 259 characters.
bool InitLiveClient(ClientHandle* handle, const KAVRO_CLIENT_RECORD* record);
bool InitFileClient(ClientHandle* handle, const char* path, uint32_t window);

// One notification as the host callback receives it.
struct Notification {
    uint32_t handle = 0;
    int32_t code = 0;
    int32_t argument = 0;
    int32_t userValue = 0;
};

// Appends to the dispatcher queue; never blocks on the consumer. Dropped when the dispatcher is
// not running (before KAVRO_Startup, after KAVRO_Cleanup).
void Enqueue(const Notification& n);

// Dispatcher life, driven by KAVRO_Startup / KAVRO_Cleanup under their lifecycle lock. Stopping
// is split so that no lock is held while waiting for the thread (its callback may call the
// lifecycle functions itself).
class DispatcherThread;
bool StartDispatcher();
// Stops intake, discards what is still queued, tells the thread to end; returns it (or nullptr).
DispatcherThread* DetachDispatcher();
// Waits for a detached dispatcher to end and frees it. On the dispatcher's own thread (Cleanup
// from the callback) it cannot wait: the thread ends once the callback returns and is reaped later.
void FinishDispatcher(DispatcherThread* dispatcher);
// Joins dispatchers left behind that way (except the calling thread's own).
void ReapDispatchers();

// For tests: queue length and the dispatcher's wake signal.
size_t PendingNotificationCount();
bool DispatcherWakeSignalled();

// For tests: replaces the window-message sender (nullptr restores the X11 one); returns the old.
using WindowPoster = bool (*)(uint32_t wnd, uint32_t msg, int32_t code, int32_t argument);
WindowPoster SetWindowPosterForTesting(WindowPoster poster);

}  // namespace kavro
