// Start and stop of the two recordings of a media source, and the record file they write.
#include <cstring>

#include "api/ClientHandle.h"
#include "api/Notification.h"
#include "record/MakeParentDirs.h"
#include "record/RecordFile.h"
#include "source/CAVSource.h"

namespace kavro {

namespace {

constexpr int32_t kRecordNotification = 6;
constexpr int32_t kRecordStarted = 0;
constexpr int32_t kRecordStopped = 1;
constexpr int32_t kAlarmRecordStarted = 2;
constexpr int32_t kAlarmRecordStopped = 3;

}  // namespace

void CAVSource::FinishRecordFile(RecordState r) {
    if (r.file == nullptr) return;
    WriteCounted(r, kIndexBeginMark, static_cast<int>(kIndexBeginMarkSize));
    uint8_t entry[kIndexEntrySize];
    for (const RecordIndexEntry& e : r.index) {
        PackIndexEntry(e, entry);
        WriteCounted(r, entry, static_cast<int>(kIndexEntrySize));
    }
    uint8_t count[4];
    PutLe32(count, static_cast<uint32_t>(r.index.size()));
    WriteCounted(r, count, 4);
    WriteCounted(r, kIndexEndMark, static_cast<int>(kIndexEndMarkSize));
    fclose(r.file);
    r.file = nullptr;
}

RecordFileHeader CAVSource::HeaderFromClient() const {
    RecordFileHeader header;
    header.fps = RecordFpsByte(client->fps);
    header.videoPayloadType = client->videoPayloadType;
    header.audioCodec = client->audioCodec;
    header.width = static_cast<uint16_t>(client->videoWidth & 0xFFFF);
    header.height = static_cast<uint16_t>(client->videoHeight & 0xFFFF);
    return header;
}

void CAVSource::RefreshHeaderBeforeFirstChunk(RecordState r) {
    if (r.file == nullptr || client == nullptr || r.bytes != kRecordChunksOffset) return;
    uint8_t packed[kRecordFileHeaderSize];
    PackRecordFileHeader(HeaderFromClient(), packed);
    if (fseeko(r.file, static_cast<off_t>(kRecordMagicSize), SEEK_SET) == 0) {
        fwrite(packed, 1, sizeof packed, r.file);
        fseeko(r.file, 0, SEEK_END);
    }
}

int CAVSource::OpenRecord(RecordState r, const char* pathField, size_t pathFieldSize, int32_t startedArg) {
    JMutexAutoLock g(r.lock);
    if (client == nullptr) return 0;
    // Already open (two starts racing past the caller's check): opening again would lose the file.
    if (r.file != nullptr) return 0;

    // A path that does not end inside its field would be cut short: refuse it.
    char path[256];
    size_t n = strnlen(pathField, pathFieldSize);
    if (n >= pathFieldSize || n >= sizeof(path)) return 0;
    memcpy(path, pathField, n);
    path[n] = '\0';

    if (!MakeParentDirs(path)) return 0;
    FILE* f = fopen(path, "wbe");
    if (f == nullptr) return 0;
    r.index.clear();

    uint8_t packed[kRecordFileHeaderSize];
    PackRecordFileHeader(HeaderFromClient(), packed);

    r.file = f;
    r.active = 1;
    r.bytes = 0;
    WriteCounted(r, kRecordMagic, static_cast<int>(kRecordMagicSize));
    WriteCounted(r, packed, static_cast<int>(kRecordFileHeaderSize));
    PostNotification(client, kRecordNotification, startedArg);
    return 1;
}

int CAVSource::CloseRecord(RecordState r, int32_t stoppedArg) {
    JMutexAutoLock g(r.lock);
    r.active = 0;
    FinishRecordFile(r);
    if (client != nullptr) PostNotification(client, kRecordNotification, stoppedArg);
    return 1;
}

int CAVSource::StartRecord() {
    if (client == nullptr) return 0;
    return OpenRecord(NormalRecord(), client->recordPath, sizeof(client->recordPath), kRecordStarted);
}

int CAVSource::StopRecord() { return CloseRecord(NormalRecord(), kRecordStopped); }

int CAVSource::StartAlarmRecord() {
    if (client == nullptr) return 0;
    return OpenRecord(AlarmRecord(), client->alarmRecordPath, sizeof(client->alarmRecordPath),
                      kAlarmRecordStarted);
}

int CAVSource::StopAlarmRecord() { return CloseRecord(AlarmRecord(), kAlarmRecordStopped); }

}  // namespace kavro
