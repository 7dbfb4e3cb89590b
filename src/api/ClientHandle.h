#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "kavro.h"

namespace kavro {

class CIConduit;
class CAVSource;
class CAVSound;
class CBitRate;
class CTalk2VS;

// Fields one thread writes and others poll without a lock: atomic, so each write is one store.
template <typename T>
using Shared = std::atomic<T>;

struct PacingRecord {
    Shared<int32_t> fps{0};
    Shared<uint32_t> startMs{0};
    Shared<int32_t> shown{0};
    Shared<int32_t> speed{0};
};

// 16 enable bytes, then 16 rectangles of four signed 32-bit values; the camera's own layout.
struct MdRegionTable {
    uint8_t enable[16];
    int32_t rect[16][4];
};
static_assert(sizeof(MdRegionTable) == 272, "motion region table is 272 bytes");

// One per client. Starts with a copy of the host's client record; the workers keep a plain
// back-pointer to it and read and write its fields directly.
struct ClientHandle {
    // Copy of the client record (same names as KAVRO_CLIENT_RECORD).
    uint16_t transport = 0;
    Shared<uint16_t> viewOn{0};
    uint8_t channel = 0;
    Shared<uint32_t> videoWnd{0};
    uint32_t notifyWnd = 0;
    uint32_t notifyMsg = 0;
    int32_t userData = 0;
    char address[161] = {};
    char userName[33] = {};
    char password[66] = {};

    CIConduit* videoConduit = nullptr;
    CIConduit* audioConduit = nullptr;
    int32_t isFile = 0;
    char recordPath[256] = {};
    char snapshotPath[256] = {};
    char alarmRecordPath[256] = {};
    Shared<uint32_t> recordStartTick{0};
    Shared<int32_t> recordDurationMs{0};
    Shared<uint32_t> alarmRecordStartTick{0};
    Shared<int32_t> alarmRecordDurationMs{0};
    char host[32] = {};
    uint16_t port = 0;
    uint16_t controlPort = 0;
    uint8_t fullUrl = 0;
    Shared<int32_t> state{0};
    Shared<uint32_t> byteCount{0};
    Shared<int32_t> measuredKbps{0};
    Shared<uint32_t> frameCount{0};
    Shared<int32_t> measuredFps{0};
    MdRegionTable mdRegions = {};
    std::mutex mdLock;  // guards mdRegions: camera replies, the event thread and the overlay share it
    Shared<uint32_t> mdTicks[16] = {};
    Shared<int32_t> showMdRegion{0};
    Shared<uint32_t> mdState{0};
    Shared<int32_t> mdEnabled{0};
    Shared<int32_t> decodedWidth{0};
    Shared<int32_t> decodedHeight{0};
    Shared<int32_t> wndWidth{0};
    Shared<int32_t> wndHeight{0};
    Shared<int32_t> verticalFlip{0};
    Shared<int32_t> rotate180{0};
    Shared<int32_t> videoWidth{0};
    Shared<int32_t> videoHeight{0};
    Shared<int32_t> fps{0};
    Shared<int32_t> streamBitRate{0};
    Shared<int32_t> jitterFrames{0};
    Shared<int32_t> queuedFrames{0};
    Shared<int32_t> audioOn{0};
    Shared<int32_t> audioPlayerClosed{0};
    Shared<uint8_t> audioCodec{0};
    Shared<uint8_t> videoPayloadType{0};
    PacingRecord pacing;
    Shared<int32_t> replaySpeed{0};
    Shared<int32_t> replayPause{0};
    Shared<int32_t> replayStep{0};
    Shared<int32_t> replayStartTime{0};
    Shared<int32_t> replayTotalTime{0};
    Shared<int32_t> replayCurTime{0};
    Shared<int32_t> replaySeekTarget{0};
    Shared<int32_t> replaySeekPending{0};
    Shared<int32_t> replaySeekPaused{0};
    Shared<int32_t> firstFrameShown{0};
    Shared<int32_t> displayBusy{0};
    uint32_t self = 0;  // the handle value given to the host
    CAVSource* source = nullptr;
    CAVSound* sound = nullptr;
    CBitRate* bitRate = nullptr;
    char filePath[260] = {};
    std::atomic<CTalk2VS*> talk{nullptr};
};

}  // namespace kavro
