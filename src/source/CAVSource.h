#pragma once
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "platform/JMutex.h"
#include "platform/JThread.h"
#include "record/RecordFile.h"
#include "source/IRecord.h"

namespace kavro {

class CIConduit;
class CAVDisplay;
struct ClientHandle;

// Media source of one client: a worker thread that feeds the client's conduits and, while the
// host records, the two record files. Concrete sources supply Init, Release, Run and Stop.
class CAVSource : public JThread, public IRecord {
public:
    CAVSource();
    ~CAVSource() override;

protected:
    // Reports the start at once, then runs the source.
    void* Thread() override;

public:
    // Creates what the concrete source works with; 1 on success. What was created stays for Release.
    virtual int Init() = 0;
    // Frees what Init created; safe more than once and after a failed Init.
    virtual void Release() = 0;
    // Body of the source thread.
    virtual int Run() = 0;
    // Asks the thread to end, unblocks it, and ends with StopAndWait.
    virtual int Stop() = 0;

    // Sets stopRequested, ends both recordings if active, and joins the thread. Always 0.
    int StopAndWait();

    int IsRecording() override;
    int IsAlarmRecording() override;
    void LockRecord() override;
    void UnlockRecord() override;
    int WriteRecord(int stream, const void* data, int length) override;
    int AddRecordIndex(uint32_t timestamp) override;
    int AddAlarmRecordIndex(uint32_t timestamp) override;
    void LockAlarmRecord() override;
    void UnlockAlarmRecord() override;
    int WriteAlarmRecord(int stream, const void* data, int length) override;
    int StartRecord() override;
    int StopRecord() override;
    int StartAlarmRecord() override;
    int StopAlarmRecord() override;

    CIConduit* videoConduit = nullptr;  // borrowed from the client
    CIConduit* audioConduit = nullptr;  // borrowed from the client
    std::atomic<int32_t> stopRequested{0};
    ClientHandle* client = nullptr;  // borrowed, set before Init
    std::atomic<int32_t> recording{0};
    std::atomic<int32_t> alarmRecording{0};
    FILE* recordFile = nullptr;  // guarded by recordLock
    JMutex recordLock;
    FILE* alarmRecordFile = nullptr;  // guarded by alarmRecordLock
    JMutex alarmRecordLock;
    std::vector<RecordIndexEntry> recordIndex;
    uint64_t recordBytes = 0;
    std::vector<RecordIndexEntry> alarmRecordIndex;
    uint64_t alarmRecordBytes = 0;
    CAVDisplay* display = nullptr;  // owned by the concrete source

private:
    // One recording's state, so that the normal and the alarm recording share one code path.
    struct RecordState {
        std::atomic<int32_t>& active;
        FILE*& file;
        JMutex& lock;
        std::vector<RecordIndexEntry>& index;
        uint64_t& bytes;
    };
    RecordState NormalRecord();
    RecordState AlarmRecord();
    int OpenRecord(RecordState r, const char* pathField, size_t pathFieldSize, int32_t startedArg);
    int CloseRecord(RecordState r, int32_t stoppedArg);
    static void WriteCounted(RecordState r, const void* data, int length);
    RecordFileHeader HeaderFromClient() const;
    // A recording started before the stream was described has a header with no payload type or
    // size: the first chunk brings the stream's values, so the header is written again then.
    void RefreshHeaderBeforeFirstChunk(RecordState r);
    // Writes the index trailer and closes the file. Lock held.
    static void FinishRecordFile(RecordState r);
};

}  // namespace kavro
