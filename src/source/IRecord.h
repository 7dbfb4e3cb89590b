#pragma once
#include <cstdint>

namespace kavro {

// Recording interface of every media source: a normal and an alarm recording, each with its
// own file, lock, byte count and key-picture index. The order of the operations is fixed.
class IRecord {
public:
    virtual int IsRecording() = 0;
    virtual int IsAlarmRecording() = 0;
    virtual void LockRecord() = 0;
    virtual void UnlockRecord() = 0;
    // Appends to the open record file; stream is 0 for video, 1 for audio. Always 1.
    virtual int WriteRecord(int stream, const void* data, int length) = 0;
    // Marks the chunk whose header is written next as the start of a key picture. Always 1.
    virtual int AddRecordIndex(uint32_t timestamp) = 0;
    virtual int AddAlarmRecordIndex(uint32_t timestamp) = 0;
    virtual void LockAlarmRecord() = 0;
    virtual void UnlockAlarmRecord() = 0;
    virtual int WriteAlarmRecord(int stream, const void* data, int length) = 0;
    // 1 on success, 0 on failure.
    virtual int StartRecord() = 0;
    // Always 1.
    virtual int StopRecord() = 0;
    virtual int StartAlarmRecord() = 0;
    virtual int StopAlarmRecord() = 0;

protected:
    ~IRecord() = default;  // never deleted through this interface
};

}  // namespace kavro
