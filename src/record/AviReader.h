#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

namespace kavro {

// One idx1 entry: chunk identifier, flags, offset of the chunk (its identifier), data length.
struct AviIndexEntry {
    char id[4] = {};
    uint32_t flags = 0;
    uint32_t offset = 0;
    uint32_t length = 0;
};

// Reads the AVI files the replay accepts (signature at byte 336) without threads: walks the
// idx1 entries in order and reads the data each one points to into a buffer it owns.
class AviReader {
public:
    static constexpr size_t kChunkBufferSize = 0x100000;
    static constexpr size_t kMaxPathLength = 255;
    static constexpr uint32_t kFramesPerSecond = 25;  // seek and time assume 25 pictures/s
    static constexpr uint32_t kEntriesPerFrame = 3;

    enum class Entry {
        kVideo,    // "00dc": Data()/DataSize() hold the bytes that could be read
        kAudio,    // "01wb": same, unless audio data was not wanted (DataSize() 0)
        kSkipped,  // another identifier, a chunk larger than the buffer, or data out of reach
        kEnd,      // no whole entry left
    };

    AviReader() = default;
    ~AviReader() { Close(); }
    AviReader(const AviReader&) = delete;
    AviReader& operator=(const AviReader&) = delete;

    // True only for a "RIFF" file with "TessaraVine" at byte 336; positions at the first entry.
    bool Open(const char* path);
    void Close();
    bool IsOpen() const { return file_ != nullptr; }
    // The signature test alone, on any file.
    static bool HasSignature(FILE* f);

    uint32_t Rate() const { return rate_; }              // first stream's rate (fps)
    uint32_t FrameCount() const { return frameCount_; }  // main header's total frames
    uint32_t TotalTimeSec() const { return rate_ ? frameCount_ / rate_ : 0; }

    uint64_t IndexStart() const { return indexStart_; }
    uint64_t Position() const { return position_; }
    void SetPosition(uint64_t p) { position_ = p; }
    // 1200 bytes of index per second: three entries per picture at 25 pictures per second.
    uint32_t CurTimeSec() const {
        return position_ < indexStart_ ? 0
                                       : static_cast<uint32_t>((position_ - indexStart_) /
                                                               (16 * kEntriesPerFrame * kFramesPerSecond));
    }

    // Reads the entry at Position() and moves past it. Audio data is read only when asked.
    Entry ReadEntry(bool wantAudio);
    const AviIndexEntry& Current() const { return entry_; }
    const uint8_t* Data() const { return buffer_.get(); }
    size_t DataSize() const { return dataSize_; }

    // Latest picture at or before targetSec whose chunk has 'a' as its fifth data byte.
    bool FindSeekFrame(uint32_t targetSec, uint32_t* frame);
    // FindSeekFrame; when found, reads that picture's video chunk into Data() and positions
    // after its entries. Returns whether it moved.
    bool SeekToTime(uint32_t targetSec);

private:
    bool ReadAt(uint64_t offset, void* dst, size_t n);
    bool ReadEntryAt(uint64_t p, AviIndexEntry* e);
    size_t ReadData(const AviIndexEntry& e);

    FILE* file_ = nullptr;
    uint64_t fileSize_ = 0;
    uint32_t rate_ = 0;
    uint32_t frameCount_ = 0;
    uint64_t indexStart_ = 0;
    uint64_t position_ = 0;
    std::unique_ptr<uint8_t[]> buffer_;
    AviIndexEntry entry_;
    size_t dataSize_ = 0;
};

}  // namespace kavro
