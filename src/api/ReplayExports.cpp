// Replay controls of a file handle. They only write handle fields; the replay thread and the
// display poll them.
#include <cstring>
#include <memory>
#include <new>

#include "api/ClientHandle.h"
#include "api/HandleTable.h"
#include "api/Library.h"
#include "api/Pipeline.h"
#include "kavro.h"
#include "record/CAVSource_File.h"

using namespace kavro;

namespace {

constexpr int32_t kMaxSpeed = 4;

template <typename F>
KAVRO_BOOL WithClient(KAVRO_HANDLE h, F f) {
    try {
        HandleRef client = AcquireClient(h);
        if (!client) return 0;
        return f(client.get());
    } catch (...) {
        return 0;
    }
}

}  // namespace

extern "C" KAVRO_API KAVRO_HANDLE KAVRO_OpenFile(const char* path, uint32_t videoWnd, int32_t startPaused) {
    try {
        if (!path) return 0;
        std::unique_ptr<ClientHandle> client(new (std::nothrow) ClientHandle());
        if (!client) return 0;
        // A path cut to fit would name another file.
        if (!InitFileClient(client.get(), path, videoWnd)) return 0;
        if (strnlen(path, CAVSource_File::kPathFieldSize) >= CAVSource_File::kPathFieldSize) return 0;
        if (startPaused != 0) client->replayPause = 1;
        return OpenClient(
            std::move(client),
            [](ClientHandle* c) -> std::unique_ptr<CAVSource> {
                return std::unique_ptr<CAVSource>(new (std::nothrow) CAVSource_File(c->filePath));
            },
            ReplayConduitSettings());
    } catch (...) {
        return 0;
    }
}

extern "C" KAVRO_API KAVRO_BOOL KAVRO_ReplayPause(KAVRO_HANDLE h) {
    return WithClient(h, [](ClientHandle* c) {
        c->replayPause = 1;
        return 1;
    });
}

extern "C" KAVRO_API KAVRO_BOOL KAVRO_ReplayContinue(KAVRO_HANDLE h) {
    return WithClient(h, [](ClientHandle* c) {
        c->replayPause = 0;
        return 1;
    });
}

extern "C" KAVRO_API KAVRO_BOOL KAVRO_ReplayStepByStep(KAVRO_HANDLE h) {
    return WithClient(h, [](ClientHandle* c) {
        c->replayStep = 1;
        c->replayPause = 2;
        return 1;
    });
}

extern "C" KAVRO_API KAVRO_BOOL KAVRO_SpeedFast(KAVRO_HANDLE h) {
    return WithClient(h, [](ClientHandle* c) {
        const int32_t s = c->replaySpeed;
        if (s >= kMaxSpeed) return 0;
        c->replaySpeed = s + 1;
        return 1;
    });
}

extern "C" KAVRO_API KAVRO_BOOL KAVRO_SpeedNormal(KAVRO_HANDLE h) {
    return WithClient(h, [](ClientHandle* c) {
        c->replaySpeed = 0;
        return 1;
    });
}

extern "C" KAVRO_API KAVRO_BOOL KAVRO_SpeedSlow(KAVRO_HANDLE h) {
    return WithClient(h, [](ClientHandle* c) {
        const int32_t s = c->replaySpeed;
        if (s <= -kMaxSpeed) return 0;
        c->replaySpeed = s - 1;
        return 1;
    });
}

extern "C" KAVRO_API uint32_t KAVRO_ReplayTotalTime(KAVRO_HANDLE h) {
    try {
        HandleRef client = AcquireClient(h);
        if (!client) return 0;
        return static_cast<uint32_t>(client->replayTotalTime.load());
    } catch (...) {
        return 0;
    }
}

extern "C" KAVRO_API uint32_t KAVRO_ReplayCurTime(KAVRO_HANDLE h) {
    try {
        HandleRef client = AcquireClient(h);
        if (!client) return 0;
        const auto cur = static_cast<uint32_t>(client->replayCurTime.load());
        const auto total = static_cast<uint32_t>(client->replayTotalTime.load());
        return cur < total ? cur : total;
    } catch (...) {
        return 0;
    }
}

extern "C" KAVRO_API KAVRO_BOOL KAVRO_ReplaySeek(KAVRO_HANDLE h, uint32_t seconds) {
    return WithClient(h, [seconds](ClientHandle* c) {
        const auto total = static_cast<uint32_t>(c->replayTotalTime.load());
        if (total == 0) return 0;  // not measured: nothing to seek in
        const uint32_t target = seconds < total ? seconds : total;
        c->replaySeekTarget = static_cast<int32_t>(target);
        c->replayCurTime = static_cast<int32_t>(target);
        // Target first: the replay thread reads it once it sees the request.
        c->replaySeekPending = 1;
        if (c->replayPause == 1) c->replaySeekPaused = 1;
        return 1;
    });
}
