#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

#include "codec/VoiceEngine.h"
#include "source/CAVSource.h"

namespace kavro {

class AviReader;
class RecordFileReader;

// Media source of a replay handle: feeds the client's conduits from a recorded file (the own
// record format with H.264 or JPEG video, or an AVI file with the signature) as a camera would.
// Pause, step and speed are the display's work; this thread only seeks, tracks the current and
// total time and reports the end of the file.
//
// Wiring before Init: client, videoConduit, audioConduit.
class CAVSource_File : public CAVSource {
public:
    static constexpr size_t kPathFieldSize = 256;
    enum Kind { kKindNone = 0, kKindAvi = 1, kKindRecordH264 = 2, kKindRecordJpeg = 3 };
    // Refused conduit writes are retried at these intervals.
    static constexpr uint32_t kRecordRetryMs = 1;
    static constexpr uint32_t kAviRetryMs = 10;
    // Poll interval while idle at the end of the file.
    static constexpr uint32_t kEndPollMs = 100;

    // A path that does not fit the path field (255 characters) is kept empty, so Init fails.
    explicit CAVSource_File(const char* path);
    ~CAVSource_File() override;

    // Opens and measures the file and starts the display. 1 on success.
    int Init() override;
    void Release() override;
    int Run() override;
    int Stop() override;

    int FileKind() const { return kind_; }
    const char* Path() const { return path_; }

protected:
    // Creates the display, attaches it to the client, resets its decoder and starts it.
    // 1 on success; on 0 nothing of the display is left running.
    virtual int StartDisplay();

private:
    bool OpenFile();
    void BeginRun();
    int RunRecordFile();
    int RunAvi();

    // End of the chunks: mark it and tell the host (again after each seek that leads back).
    void ReachEnd();
    // Writes video until the conduit takes it; gives up on a pending seek or a stop.
    bool WriteVideo(const uint8_t* data, size_t size, int endOfFrame, uint32_t retryMs, bool yieldToSeek);
    // Writes audio until the conduit takes it or a stop is requested.
    void WriteAudio(const void* data, size_t size, uint32_t retryMs);
    void HandleRecordAudio();
    void SeekRecordFile();
    void SeekAvi();
    void ResetConduits();

    char path_[kPathFieldSize] = {};
    Kind kind_ = kKindNone;
    std::unique_ptr<RecordFileReader> record_;
    std::unique_ptr<AviReader> avi_;
    bool atEnd_ = false;
    bool voiceReady_ = false;
    VoiceState voice_ = {};
    int16_t samples_[kVoiceMaxDecodedSamples] = {};
};

}  // namespace kavro
