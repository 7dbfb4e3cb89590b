#include "source/CAVSource.h"

namespace kavro {

CAVSource::CAVSource() {
    recordLock.Init();
    alarmRecordLock.Init();
}

CAVSource::~CAVSource() {
    // An owner that never stopped the source still gets complete, replayable files.
    {
        JMutexAutoLock g(recordLock);
        recording = 0;
        FinishRecordFile(NormalRecord());
    }
    {
        JMutexAutoLock g(alarmRecordLock);
        alarmRecording = 0;
        FinishRecordFile(AlarmRecord());
    }
}

void* CAVSource::Thread() {
    ThreadStarted();
    Run();
    return nullptr;
}

int CAVSource::StopAndWait() {
    stopRequested = 1;
    if (IsRecording()) StopRecord();
    if (IsAlarmRecording()) StopAlarmRecord();
    Join();
    return 0;
}

CAVSource::RecordState CAVSource::NormalRecord() {
    return RecordState{recording, recordFile, recordLock, recordIndex, recordBytes};
}

CAVSource::RecordState CAVSource::AlarmRecord() {
    return RecordState{alarmRecording, alarmRecordFile, alarmRecordLock, alarmRecordIndex, alarmRecordBytes};
}

int CAVSource::IsRecording() { return recording; }
int CAVSource::IsAlarmRecording() { return alarmRecording; }

void CAVSource::LockRecord() { recordLock.Lock(); }
void CAVSource::UnlockRecord() { recordLock.Unlock(); }
void CAVSource::LockAlarmRecord() { alarmRecordLock.Lock(); }
void CAVSource::UnlockAlarmRecord() { alarmRecordLock.Unlock(); }

void CAVSource::WriteCounted(RecordState r, const void* data, int length) {
    if (r.file == nullptr || data == nullptr || length <= 0) return;
    fwrite(data, 1, static_cast<size_t>(length), r.file);
    r.bytes += static_cast<uint64_t>(length);
}

// The locks are recursive: taking them here costs the producers nothing (they already hold
// them) and keeps a stray caller from writing into a file being closed.
int CAVSource::WriteRecord(int /*stream*/, const void* data, int length) {
    JMutexAutoLock g(recordLock);
    RefreshHeaderBeforeFirstChunk(NormalRecord());
    WriteCounted(NormalRecord(), data, length);
    return 1;
}

int CAVSource::WriteAlarmRecord(int /*stream*/, const void* data, int length) {
    JMutexAutoLock g(alarmRecordLock);
    RefreshHeaderBeforeFirstChunk(AlarmRecord());
    WriteCounted(AlarmRecord(), data, length);
    return 1;
}

int CAVSource::AddRecordIndex(uint32_t timestamp) {
    JMutexAutoLock g(recordLock);
    recordIndex.push_back(RecordIndexEntry{recordBytes, timestamp});
    return 1;
}

int CAVSource::AddAlarmRecordIndex(uint32_t timestamp) {
    JMutexAutoLock g(alarmRecordLock);
    alarmRecordIndex.push_back(RecordIndexEntry{alarmRecordBytes, timestamp});
    return 1;
}

}  // namespace kavro
