#include "record/CAVSource_File.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "api/ClientHandle.h"
#include "api/Notification.h"
#include "conduit/CIConduit.h"
#include "display/CAVDisplay.h"
#include "platform/Tick.h"
#include "record/AviReader.h"
#include "record/RecordFileReader.h"

namespace kavro {

namespace {

// The audio conduit of a replay is small (it paces the thread to the sound); stored PCM goes in
// pieces that fit it.
constexpr size_t kAudioPiece = 512;

}  // namespace

CAVSource_File::CAVSource_File(const char* path) {
    if (path && strnlen(path, kPathFieldSize) < kPathFieldSize) memcpy(path_, path, strlen(path) + 1);
}

CAVSource_File::~CAVSource_File() {
    // The thread reads the readers: it must have ended before they go.
    stopRequested = 1;
    Join();
    Release();
}

int CAVSource_File::Init() {
    if (!client || !videoConduit || !audioConduit) return 0;
    if (!OpenFile()) return 0;
    return StartDisplay();
}

bool CAVSource_File::OpenFile() {
    if (path_[0] == '\0') return false;
    bool isAvi = false;
    {
        FILE* f = fopen(path_, "rb");
        if (!f) return false;
        isAvi = AviReader::HasSignature(f);
        fclose(f);
    }
    client->replayCurTime = 0;
    client->replayStartTime = 0;
    client->replayTotalTime = 0;
    if (isAvi) {
        avi_.reset(new (std::nothrow) AviReader());
        if (!avi_ || !avi_->Open(path_)) {
            avi_.reset();
            return false;
        }
        client->fps = static_cast<int32_t>(avi_->Rate());
        client->replayTotalTime = static_cast<int32_t>(avi_->TotalTimeSec());
        kind_ = kKindAvi;
        return true;
    }
    record_.reset(new (std::nothrow) RecordFileReader());
    if (!record_ || !record_->Open(path_)) {
        record_.reset();
        return false;
    }
    client->videoPayloadType = record_->VideoPayloadType();
    client->fps = record_->Fps();
    client->replayTotalTime = static_cast<int32_t>(record_->TotalTimeSec());
    client->replayStartTime = static_cast<int32_t>(record_->StartTime());
    kind_ = record_->FileKind() == 3 ? kKindRecordJpeg : kKindRecordH264;
    return true;
}

int CAVSource_File::StartDisplay() {
    if (!display) display = new (std::nothrow) CAVDisplay();
    if (!display) return 0;
    display->Attach(client, this);
    if (!display->ResetDecoder()) return 0;  // the display stays for Release
    if (display->Start() != 0) {
        display->ReleaseDecoder();
        return 0;
    }
    return 1;
}

void CAVSource_File::Release() {
    if (display) {
        display->StopAndWait();
        delete display;
        display = nullptr;
    }
    record_.reset();
    avi_.reset();
    kind_ = kKindNone;
}

int CAVSource_File::Stop() {
    if (display) display->StopAndWait();
    return StopAndWait();
}

int CAVSource_File::Run() {
    BeginRun();
    if (kind_ == kKindAvi && avi_) return RunAvi();
    if ((kind_ == kKindRecordH264 || kind_ == kKindRecordJpeg) && record_) return RunRecordFile();
    return 0;
}

void CAVSource_File::BeginRun() {
    client->pacing.fps = client->fps.load();
    client->pacing.startMs = GetTick();
    client->pacing.shown = 0;
    atEnd_ = false;
    voiceReady_ = false;
}

void CAVSource_File::ReachEnd() {
    atEnd_ = true;
    PostReplayEnd(client);
}

void CAVSource_File::ResetConduits() {
    videoConduit->Reset();
    audioConduit->Reset();
}

bool CAVSource_File::WriteVideo(const uint8_t* data, size_t size, int endOfFrame, uint32_t retryMs,
                                bool yieldToSeek) {
    if (size == 0) return true;
    // Every chunk fits an empty conduit (chunks are below 1 MiB); a refused write waits for the
    // display to make room.
    while (!videoConduit->Write(data, static_cast<int>(size), endOfFrame)) {
        if (stopRequested) return false;
        if (yieldToSeek && client->replaySeekPending) return false;
        SleepMs(retryMs);
    }
    return true;
}

void CAVSource_File::WriteAudio(const void* data, size_t size, uint32_t retryMs) {
    const auto* p = static_cast<const uint8_t*>(data);
    while (size > 0) {
        const size_t n = size < kAudioPiece ? size : kAudioPiece;
        while (!audioConduit->Write(p, static_cast<int>(n), 0)) {
            if (stopRequested) return;
            SleepMs(retryMs);
        }
        p += n;
        size -= n;
    }
}

int CAVSource_File::RunRecordFile() {
    record_->Rewind();
    while (!stopRequested) {
        if (!atEnd_) {
            const RecordFileReader::Read r = record_->ReadChunk();
            const RecordChunkHeader& h = record_->Header();
            const bool video = h.kind() == kChunkKindVideo;
            if (r == RecordFileReader::Read::kEnd || (r == RecordFileReader::Read::kTruncated && video)) {
                ReachEnd();
            } else if (r == RecordFileReader::Read::kChunk) {
                if (video) {
                    // Each JPEG chunk is a whole picture; H.264 goes as one byte stream.
                    const int endOfFrame = kind_ == kKindRecordJpeg ? 1 : 0;
                    if (WriteVideo(record_->Data(), record_->DataSize(), endOfFrame, kRecordRetryMs, true))
                        client->replayCurTime = static_cast<int32_t>(record_->CurTimeSec(h.timestamp));
                } else {
                    HandleRecordAudio();
                }
            }
            // A cut-off audio chunk is dropped; the next read finds the end.
        }
        if (client->replaySeekPending) SeekRecordFile();
        if (atEnd_ && !stopRequested) SleepMs(kEndPollMs);
    }
    return 0;
}

void CAVSource_File::HandleRecordAudio() {
    if (client->audioPlayerClosed) return;
    if (!voiceReady_) {
        if (HI_VOICE_DecReset(&voice_, static_cast<uint16_t>(record_->Header().type())) != 0) return;
        voiceReady_ = true;
    }
    if (!client->audioOn || client->replaySpeed != 0) return;
    uint16_t count = 0;
    if (HI_VOICE_DecodeFrame(&voice_, record_->Data(), record_->DataSize(), samples_, kVoiceMaxDecodedSamples,
                             &count) != 0)
        return;
    WriteAudio(samples_, static_cast<size_t>(count) * 2, kRecordRetryMs);
}

void CAVSource_File::SeekRecordFile() {
    const auto target = static_cast<uint32_t>(client->replaySeekTarget.load());
    client->replayCurTime = static_cast<int32_t>(target);
    if (record_->SeekToTime(target)) {
        ResetConduits();
        atEnd_ = false;
    }
    client->replaySeekPending = 0;
}

int CAVSource_File::RunAvi() {
    avi_->SetPosition(avi_->IndexStart());
    while (!stopRequested) {
        if (!atEnd_) {
            client->replayCurTime = static_cast<int32_t>(avi_->CurTimeSec());
            const bool wantAudio = !client->audioPlayerClosed;
            switch (avi_->ReadEntry(wantAudio)) {
                case AviReader::Entry::kEnd:
                    ReachEnd();
                    break;
                case AviReader::Entry::kVideo:
                    WriteVideo(avi_->Data(), avi_->DataSize(), 0, kAviRetryMs, true);
                    break;
                case AviReader::Entry::kAudio:
                    // Stored as 16-bit PCM: no decoding.
                    if (wantAudio && client->audioOn && client->replaySpeed == 0)
                        WriteAudio(avi_->Data(), avi_->DataSize(), kAviRetryMs);
                    break;
                case AviReader::Entry::kSkipped:
                    break;
            }
        }
        if (client->replaySeekPending) SeekAvi();
        if (atEnd_ && !stopRequested) SleepMs(kEndPollMs);
    }
    return 0;
}

void CAVSource_File::SeekAvi() {
    const auto target = static_cast<uint32_t>(client->replaySeekTarget.load());
    if (avi_->SeekToTime(target)) {
        ResetConduits();
        // The seek is still pending here, so this write must not give way to it.
        WriteVideo(avi_->Data(), avi_->DataSize(), 0, kRecordRetryMs, false);
        atEnd_ = false;
    }
    client->replaySeekPending = 0;
}

}  // namespace kavro
