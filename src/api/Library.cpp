#include "api/Library.h"

#include <atomic>

#include "api/ClientHandle.h"
#include "api/HandleTable.h"

namespace kavro {

namespace {

std::atomic<int32_t> g_connectTimeoutSec{5};
std::atomic<int32_t> g_retryCount{1};
std::atomic<int32_t> g_retryIntervalSec{10};
std::atomic<KAVRO_NOTIFY> g_callback{nullptr};

// Serialises Startup and Cleanup against each other; never held while a thread is joined, so a
// callback that calls them cannot deadlock against a Cleanup waiting for it.
std::mutex& LifecycleLock() {
    static std::mutex m;
    return m;
}
bool g_started = false;  // guarded by LifecycleLock
std::atomic<bool> g_startedFlag{false};

}  // namespace

int32_t GetConnectTimeoutSec() { return g_connectTimeoutSec.load(); }
int32_t GetRetryCount() { return g_retryCount.load(); }
int32_t GetRetryIntervalSec() { return g_retryIntervalSec.load(); }

std::mutex& H264DecoderLock() {
    static std::mutex m;
    return m;
}

std::mutex& JpegDecoderLock() {
    static std::mutex m;
    return m;
}

KAVRO_NOTIFY GetNotifyCallback() { return g_callback.load(); }
bool IsLibraryStarted() { return g_startedFlag.load(); }

}  // namespace kavro

using namespace kavro;

extern "C" KAVRO_API KAVRO_BOOL KAVRO_Startup(int32_t, int32_t, KAVRO_NOTIFY callback, int32_t) {
    try {
        // Make sure both locks exist before any client can race to create them.
        H264DecoderLock();
        JpegDecoderLock();
        ReapDispatchers();
        std::lock_guard<std::mutex> g(LifecycleLock());
        g_callback.store(callback);
        if (g_started) return 1;  // a second start only replaces the callback
        if (!StartDispatcher()) return 0;
        g_started = true;
        g_startedFlag.store(true);
        return 1;
    } catch (...) {
        return 0;
    }
}

extern "C" KAVRO_API void KAVRO_Cleanup(void) {
    try {
        DispatcherThread* dispatcher;
        {
            std::lock_guard<std::mutex> g(LifecycleLock());
            if (!g_started) return;
            g_started = false;
            g_startedFlag.store(false);
            dispatcher = DetachDispatcher();
        }
        FinishDispatcher(dispatcher);
        ReapDispatchers();
    } catch (...) {
    }
}

extern "C" KAVRO_API KAVRO_BOOL KAVRO_SetWaitTime(int32_t connectTimeoutSec, int32_t retryCount,
                                                  int32_t retryIntervalSec) {
    g_connectTimeoutSec.store(connectTimeoutSec <= 0 ? 5 : connectTimeoutSec);
    g_retryCount.store(retryCount < -1 ? 1 : retryCount);
    g_retryIntervalSec.store(retryIntervalSec < 0 ? 10 : retryIntervalSec);
    return 1;
}

// No sink is ever opened, so nothing is written.
extern "C" KAVRO_API void KAVRO_Log(const char*, ...) {}

extern "C" KAVRO_API int32_t KAVRO_GetClientState(KAVRO_HANDLE h) {
    try {
        HandleRef client = AcquireClient(h);
        if (!client) return 0xFFFF;
        return client->state.load();
    } catch (...) {
        return 0xFFFF;
    }
}
