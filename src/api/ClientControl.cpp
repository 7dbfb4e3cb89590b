// Per-client exports: each resolves the handle first (0, unknown and closed handles fail with
// no effect), then writes a field a worker polls or forwards to the part that does the work.

#include <cstring>
#include <limits>

#include "api/ClientHandle.h"
#include "api/HandleTable.h"
#include "audio/CTalk2VS.h"
#include "control/MctpCommands.h"
#include "display/CAVDisplay.h"
#include "platform/Tick.h"
#include "source/CAVSource.h"

using namespace kavro;

namespace {

// Runs `body` on the resolved client; `failure` for a handle that does not resolve or when the
// body throws.
template <typename Result, typename Body>
Result WithClient(KAVRO_HANDLE h, Result failure, Body body) {
    try {
        HandleRef ref = AcquireClient(h);
        if (!ref) return failure;
        return body(ref.get());
    } catch (...) {
        return failure;
    }
}

CAVDisplay* DisplayOf(ClientHandle* c) { return c->source != nullptr ? c->source->display : nullptr; }

int32_t DurationMs(int32_t seconds) {
    // 0 or less: no limit, as the chunk writer reads it. Long durations saturate.
    if (seconds <= 0) return 0;
    const int64_t ms = static_cast<int64_t>(seconds) * 1000;
    return ms > std::numeric_limits<int32_t>::max() ? std::numeric_limits<int32_t>::max()
                                                    : static_cast<int32_t>(ms);
}

// Which recording an export works on.
struct RecordSide {
    int (IRecord::*isActive)();
    void (IRecord::*lock)();
    void (IRecord::*unlock)();
    int (IRecord::*start)();
    int (IRecord::*stop)();
    char (ClientHandle::*path)[256];
    Shared<uint32_t> ClientHandle::*startTick;
    Shared<int32_t> ClientHandle::*durationMs;
};

const RecordSide kNormalRecord = {&IRecord::IsRecording,          &IRecord::LockRecord,
                                  &IRecord::UnlockRecord,         &IRecord::StartRecord,
                                  &IRecord::StopRecord,           &ClientHandle::recordPath,
                                  &ClientHandle::recordStartTick, &ClientHandle::recordDurationMs};
const RecordSide kAlarmRecord = {&IRecord::IsAlarmRecording,          &IRecord::LockAlarmRecord,
                                 &IRecord::UnlockAlarmRecord,         &IRecord::StartAlarmRecord,
                                 &IRecord::StopAlarmRecord,           &ClientHandle::alarmRecordPath,
                                 &ClientHandle::alarmRecordStartTick, &ClientHandle::alarmRecordDurationMs};

class RecordLock {
public:
    RecordLock(CAVSource* s, const RecordSide& side) : s_(s), side_(side) { (s_->*side_.lock)(); }
    ~RecordLock() { (s_->*side_.unlock)(); }
    RecordLock(const RecordLock&) = delete;
    RecordLock& operator=(const RecordLock&) = delete;

private:
    CAVSource* s_;
    const RecordSide& side_;
};

KAVRO_BOOL StartRecording(KAVRO_HANDLE h, const char* path, int32_t seconds, const RecordSide& side) {
    return WithClient<KAVRO_BOOL>(h, 0, [&](ClientHandle* c) -> KAVRO_BOOL {
        CAVSource* source = c->source;
        // A replay feeds no recording: the file would never receive media.
        if (source == nullptr || c->isFile || path == nullptr || path[0] == '\0') return 0;
        char(&field)[256] = c->*side.path;
        // A path cut to fit would record into a different file than asked for.
        const size_t n = strnlen(path, sizeof field);
        if (n >= sizeof field) return 0;
        // Held across check and start, so two hosts threads cannot both pass the check and
        // overwrite each other's path; the producers take the same lock per chunk.
        RecordLock lock(source, side);
        if ((source->*side.isActive)()) return 0;
        std::memcpy(field, path, n);
        field[n] = '\0';
        (c->*side.startTick).store(GetTick());
        (c->*side.durationMs).store(DurationMs(seconds));
        return (source->*side.start)();
    });
}

KAVRO_BOOL StopRecording(KAVRO_HANDLE h, const RecordSide& side) {
    return WithClient<KAVRO_BOOL>(h, 0, [&](ClientHandle* c) -> KAVRO_BOOL {
        CAVSource* source = c->source;
        if (source == nullptr) return 0;
        RecordLock lock(source, side);
        if (!(source->*side.isActive)()) return 0;
        return (source->*side.stop)();
    });
}

}  // namespace

// ---- View, window and picture

extern "C" KAVRO_API KAVRO_BOOL KAVRO_ClientStartView(KAVRO_HANDLE h) {
    return WithClient<KAVRO_BOOL>(h, 0, [](ClientHandle* c) -> KAVRO_BOOL {
        c->viewOn = 1;
        return 1;
    });
}

extern "C" KAVRO_API KAVRO_BOOL KAVRO_ClientStopView(KAVRO_HANDLE h) {
    return WithClient<KAVRO_BOOL>(h, 0, [](ClientHandle* c) -> KAVRO_BOOL {
        const bool busy = c->displayBusy.load() != 0;
        c->viewOn = 0;
        // The display clears displayBusy when it leaves the picture it is working on; after
        // that it sees viewOn = 0 and the host may reuse its window.
        if (busy) {
            while (c->displayBusy.load() != 0) SleepMs(1);
        }
        return 1;
    });
}

extern "C" KAVRO_API KAVRO_BOOL KAVRO_ClientSetWnd(KAVRO_HANDLE h, uint32_t wnd) {
    WithClient<KAVRO_BOOL>(h, 1, [wnd](ClientHandle* c) -> KAVRO_BOOL {
        if (CAVDisplay* d = DisplayOf(c)) d->SetWindow(wnd);
        return 1;
    });
    return 1;
}

extern "C" KAVRO_API KAVRO_BOOL KAVRO_ClientRefreshWnd(KAVRO_HANDLE h) {
    return WithClient<KAVRO_BOOL>(h, 0, [](ClientHandle* c) -> KAVRO_BOOL {
        if (c->viewOn.load() == 0) return 0;
        CAVDisplay* d = DisplayOf(c);
        return d != nullptr ? d->Refresh() : 0;
    });
}

extern "C" KAVRO_API KAVRO_BOOL KAVRO_ClientShowcallback(int32_t, int32_t, int32_t) { return 1; }

extern "C" KAVRO_API KAVRO_HANDLE KAVRO_ClientVerticalFlip(KAVRO_HANDLE h, int32_t flag) {
    return WithClient<KAVRO_HANDLE>(h, 0, [h, flag](ClientHandle* c) -> KAVRO_HANDLE {
        c->verticalFlip = flag;
        return h;
    });
}

extern "C" KAVRO_API KAVRO_HANDLE KAVRO_ClientRotate180(KAVRO_HANDLE h, int32_t flag) {
    return WithClient<KAVRO_HANDLE>(h, 0, [h, flag](ClientHandle* c) -> KAVRO_HANDLE {
        c->rotate180 = flag;
        return h;
    });
}

extern "C" KAVRO_API KAVRO_BOOL KAVRO_ClientShowMDRegion(KAVRO_HANDLE h, int32_t value) {
    return WithClient<KAVRO_BOOL>(h, 0, [value](ClientHandle* c) -> KAVRO_BOOL {
        c->showMdRegion = value;
        return 1;
    });
}

extern "C" KAVRO_API KAVRO_BOOL KAVRO_ClientCapturePicture(KAVRO_HANDLE h, const char* path) {
    return WithClient<KAVRO_BOOL>(h, 0, [path](ClientHandle* c) -> KAVRO_BOOL {
        if (path == nullptr || path[0] == '\0') return 0;
        CAVDisplay* d = DisplayOf(c);
        return d != nullptr ? d->RequestSnapshot(path) : 0;
    });
}

extern "C" KAVRO_API KAVRO_BOOL KAVRO_GetBitStreamInfo(KAVRO_HANDLE h, int32_t* kbps, int32_t* fps) {
    return WithClient<KAVRO_BOOL>(h, 0, [kbps, fps](ClientHandle* c) -> KAVRO_BOOL {
        if (kbps == nullptr || fps == nullptr) return 0;
        *kbps = c->measuredKbps.load();
        *fps = c->measuredFps.load();
        return 1;
    });
}

// ---- Sound and talk

extern "C" KAVRO_API KAVRO_BOOL KAVRO_ClientPlayAudio(KAVRO_HANDLE h) {
    return WithClient<KAVRO_BOOL>(h, 0, [](ClientHandle* c) -> KAVRO_BOOL {
        c->audioOn = 1;
        return 1;
    });
}

extern "C" KAVRO_API KAVRO_BOOL KAVRO_ClientStopAudio(KAVRO_HANDLE h) {
    return WithClient<KAVRO_BOOL>(h, 0, [](ClientHandle* c) -> KAVRO_BOOL {
        c->audioOn = 0;
        return 1;
    });
}

extern "C" KAVRO_API KAVRO_BOOL KAVRO_ClientStartTalk(KAVRO_HANDLE h) {
    // A replay has no camera to talk to; the session would retry for ever.
    return WithClient<KAVRO_BOOL>(h, 0, [](ClientHandle* c) -> KAVRO_BOOL { return c->isFile ? 0 : StartTalk(c); });
}

extern "C" KAVRO_API void KAVRO_ClientStopTalk(KAVRO_HANDLE h) {
    WithClient<int>(h, 0, [](ClientHandle* c) {
        StopTalk(c);
        return 0;
    });
}

// ---- Recording

extern "C" KAVRO_API KAVRO_BOOL KAVRO_ClientStartRecord(KAVRO_HANDLE h, const char* path, int32_t seconds) {
    return StartRecording(h, path, seconds, kNormalRecord);
}

extern "C" KAVRO_API KAVRO_BOOL KAVRO_ClientStopRecord(KAVRO_HANDLE h) {
    return StopRecording(h, kNormalRecord);
}

extern "C" KAVRO_API KAVRO_BOOL KAVRO_ClientStartAlarmRecord(KAVRO_HANDLE h, const char* path,
                                                             int32_t seconds) {
    return StartRecording(h, path, seconds, kAlarmRecord);
}

extern "C" KAVRO_API KAVRO_BOOL KAVRO_ClientStopAlarmRecord(KAVRO_HANDLE h) {
    return StopRecording(h, kAlarmRecord);
}

// ---- Camera commands

extern "C" KAVRO_API KAVRO_BOOL KAVRO_ClientPTZCtrl(KAVRO_HANDLE h, int32_t a, int32_t b) {
    return WithClient<KAVRO_BOOL>(h, 0,
                                  [a, b](ClientHandle* c) -> KAVRO_BOOL { return PtzCommand(c, a, b); });
}

extern "C" KAVRO_API KAVRO_BOOL KAVRO_ClientSetVideoParam(KAVRO_HANDLE h, int32_t x, int32_t y, int32_t z) {
    return WithClient<KAVRO_BOOL>(
        h, 0, [x, y, z](ClientHandle* c) -> KAVRO_BOOL { return SetVideoParams(c, x, y, z); });
}

extern "C" KAVRO_API KAVRO_BOOL KAVRO_ClientGetVideoParam(KAVRO_HANDLE h, uint8_t* x, uint8_t* y,
                                                          uint8_t* z) {
    return WithClient<KAVRO_BOOL>(h, 0, [x, y, z](ClientHandle* c) -> KAVRO_BOOL {
        if (x == nullptr || y == nullptr || z == nullptr) return 0;
        return GetVideoParams(c, x, y, z);
    });
}

extern "C" KAVRO_API KAVRO_BOOL KAVRO_ClientGetMDInfo(KAVRO_HANDLE h, void* table272) {
    return WithClient<KAVRO_BOOL>(h, 0, [table272](ClientHandle* c) -> KAVRO_BOOL {
        if (table272 == nullptr) return 0;
        return GetMdInfo(c, table272);
    });
}

extern "C" KAVRO_API KAVRO_BOOL KAVRO_ClientSaveMDInfo(KAVRO_HANDLE h, const void* table272) {
    return WithClient<KAVRO_BOOL>(h, 0, [table272](ClientHandle* c) -> KAVRO_BOOL {
        if (table272 == nullptr) return 0;
        return SaveMdInfo(c, table272);
    });
}

extern "C" KAVRO_API KAVRO_BOOL KAVRO_ClientStartMD(KAVRO_HANDLE h) {
    return WithClient<KAVRO_BOOL>(h, 0, [](ClientHandle* c) -> KAVRO_BOOL { return StartMd(c); });
}

extern "C" KAVRO_API KAVRO_BOOL KAVRO_ClientStopMD(KAVRO_HANDLE h) {
    return WithClient<KAVRO_BOOL>(h, 0, [](ClientHandle* c) -> KAVRO_BOOL { return StopMd(c); });
}

extern "C" KAVRO_API KAVRO_BOOL KAVRO_ClientStopAlarm(KAVRO_HANDLE h, int32_t alarmValue) {
    return WithClient<KAVRO_BOOL>(
        h, 0, [alarmValue](ClientHandle* c) -> KAVRO_BOOL { return StopAlarm(c, alarmValue); });
}
