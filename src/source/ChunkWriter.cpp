#include "source/ChunkWriter.h"

#include "api/ClientHandle.h"
#include "api/Notification.h"
#include "platform/Tick.h"
#include "source/IRecord.h"

namespace kavro {

namespace {

constexpr int32_t kRecordNotification = 6;

// What differs between the normal and the alarm recording.
struct RecordSide {
    int (IRecord::*isActive)();
    void (IRecord::*lock)();
    void (IRecord::*unlock)();
    int (IRecord::*addIndex)(uint32_t);
    int (IRecord::*write)(int, const void*, int);
    int (IRecord::*stop)();
    Shared<uint32_t> ClientHandle::*startTick;
    Shared<int32_t> ClientHandle::*durationMs;
    int32_t expiredArg;
};

const RecordSide kSides[] = {
    {&IRecord::IsRecording, &IRecord::LockRecord, &IRecord::UnlockRecord, &IRecord::AddRecordIndex,
     &IRecord::WriteRecord, &IRecord::StopRecord, &ClientHandle::recordStartTick,
     &ClientHandle::recordDurationMs, 4},
    {&IRecord::IsAlarmRecording, &IRecord::LockAlarmRecord, &IRecord::UnlockAlarmRecord,
     &IRecord::AddAlarmRecordIndex, &IRecord::WriteAlarmRecord, &IRecord::StopAlarmRecord,
     &ClientHandle::alarmRecordStartTick, &ClientHandle::alarmRecordDurationMs, 5},
};

bool DurationExpired(uint32_t now, uint32_t startTick, int32_t durationMs) {
    if (durationMs <= 0) return false;
    auto diff = static_cast<int32_t>(now - startTick);
    uint32_t distance = diff < 0 ? 0u - static_cast<uint32_t>(diff) : static_cast<uint32_t>(diff);
    return distance > static_cast<uint32_t>(durationMs);
}

}  // namespace

MediaChunk H264Chunk(uint32_t nalType, const void* data, uint32_t length) {
    MediaChunk c;
    c.kind = kChunkKindVideo;
    c.type = nalType;
    c.parts[0] = {data, length};
    return c;
}

MediaChunk JpegChunk(uint32_t chunkType, const void* data, uint32_t length) {
    MediaChunk c;
    c.kind = kChunkKindVideo;
    c.type = chunkType;
    c.jpegFrame = true;
    c.parts[0] = {data, length};
    return c;
}

MediaChunk AudioChunk(uint32_t codec, uint32_t rtpTimestamp, const void* voiceHeader, uint32_t headerLength,
                      const void* payload, uint32_t payloadLength) {
    MediaChunk c;
    c.kind = kChunkKindAudio;
    c.type = codec;
    c.rtpTimestamp = rtpTimestamp;
    c.parts[0] = {voiceHeader, headerLength};
    c.parts[1] = {payload, payloadLength};
    return c;
}

void WriteMediaChunk(IRecord& record, ClientHandle* client, const MediaChunk& chunk) {
    const bool video = chunk.kind == kChunkKindVideo;
    uint64_t total = 0;
    for (const ChunkPart& p : chunk.parts) {
        if (p.length > 0 && p.data == nullptr) return;
        total += p.length;
    }
    // The header's 20-bit length could not describe it; writing it would break every later chunk.
    if (total > kMaxChunkLength) return;

    const uint32_t now = GetTick();
    MediaChunkHeader header;
    header.kind = video ? kChunkKindVideo : kChunkKindAudio;
    header.type = chunk.type & 0xF;
    header.length = static_cast<uint32_t>(total);
    header.timestamp = video ? now : chunk.rtpTimestamp;
    if (video && client != nullptr) {
        header.width = static_cast<uint16_t>(client->videoWidth & 0xFFFF);
        header.height = static_cast<uint16_t>(client->videoHeight & 0xFFFF);
    }
    uint8_t packed[kMediaChunkHeaderSize];
    PackMediaChunkHeader(header, packed);
    const bool keyPicture = video && (chunk.jpegFrame || chunk.type == kNalTypeSps);
    const int stream = video ? 0 : 1;

    for (const RecordSide& side : kSides) {
        if (!(record.*side.isActive)()) continue;

        if (video && client != nullptr &&
            DurationExpired(now, (client->*side.startTick).load(), (client->*side.durationMs).load())) {
            // Stop only if it is still running: the host may have stopped it meanwhile, and
            // a second stop would report the end twice.
            (record.*side.lock)();
            bool stopped = (record.*side.isActive)() != 0;
            if (stopped) (record.*side.stop)();
            (record.*side.unlock)();
            if (stopped) PostNotification(client, kRecordNotification, side.expiredArg);
            continue;
        }

        (record.*side.lock)();
        // Closed since the first test: nothing may be indexed or written for this side.
        if ((record.*side.isActive)()) {
            if (keyPicture) (record.*side.addIndex)(header.timestamp);
            (record.*side.write)(stream, packed, static_cast<int>(kMediaChunkHeaderSize));
            for (const ChunkPart& p : chunk.parts) {
                if (p.length > 0) (record.*side.write)(stream, p.data, static_cast<int>(p.length));
            }
        }
        (record.*side.unlock)();
    }
}

}  // namespace kavro
