#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include "record/RecordFile.h"

namespace kavro {

// The 12-byte header in front of each chunk, already taken apart.
struct RecordChunkHeader {
    uint32_t word = 0;
    uint16_t width = 0;
    uint16_t height = 0;
    uint32_t timestamp = 0;
    uint32_t kind() const { return word & 0x3u; }  // 0 video, 1 audio; 2 and 3 are never written
    uint32_t type() const { return (word >> 2) & 0x3FFu; }
    uint32_t length() const { return word >> 12; }
};

// Reads a record file (magic, file header, chunks, optional index trailer) without threads.
// Positions are 64-bit throughout. Chunks are read into a buffer the reader owns.
class RecordFileReader {
public:
    static constexpr size_t kChunkBufferSize = 0x100000;  // every chunk length fits (20 bits)
    static constexpr size_t kMaxPathLength = 255;

    enum class Read {
        kChunk,      // a whole video or audio chunk: Header() and Data()/DataSize() are valid
        kTruncated,  // the header was whole but its data runs past the end of the chunks
        kEnd,        // no further whole header before the end of the chunks
    };

    RecordFileReader() = default;
    ~RecordFileReader() { Close(); }
    RecordFileReader(const RecordFileReader&) = delete;
    RecordFileReader& operator=(const RecordFileReader&) = delete;

    // Opens and validates the file, loads the index trailer or rebuilds the index by
    // scanning, and positions at the first chunk. False for a missing or unreadable file, a
    // path over 255 characters, a wrong magic, a short file header, a trailer announcing no
    // entries, or no memory for the chunk buffer.
    bool Open(const char* path);
    void Close();
    bool IsOpen() const { return file_ != nullptr; }

    // File header.
    uint8_t VideoPayloadType() const { return header_[0]; }
    uint8_t AudioCodec() const { return header_[1]; }
    uint16_t Width() const { return static_cast<uint16_t>(header_[2] | header_[3] << 8); }
    uint16_t Height() const { return static_cast<uint16_t>(header_[4] | header_[5] << 8); }
    int FileKind() const { return header_[0] == 26 ? 3 : 2; }  // 3 JPEG video, 2 H.264 video
    int Fps() const { return header_[27] >= 1 && header_[27] <= 30 ? header_[27] : 30; }

    const std::vector<RecordIndexEntry>& Index() const { return index_; }
    bool IndexFromTrailer() const { return indexFromTrailer_; }
    uint32_t StartTime() const { return index_.empty() ? 0 : index_.front().timestamp; }
    uint32_t TotalTimeSec() const {
        return index_.size() < 1 ? 0 : (index_.back().timestamp - index_.front().timestamp) / 1000u;
    }
    // Current time of a chunk, in seconds from the first key picture.
    uint32_t CurTimeSec(uint32_t chunkTimestamp) const { return (chunkTimestamp - StartTime()) / 1000u; }

    // Where the chunks end: the start of the index trailer, or the end of the file.
    uint64_t ChunksEnd() const { return chunksEnd_; }
    uint64_t Position() const { return position_; }
    bool SetPosition(uint64_t offset);
    void Rewind() { SetPosition(kFirstChunk); }

    // Next chunk in file order. Chunks of kinds 2 and 3 are passed over. Never returns bytes
    // of the index trailer.
    Read ReadChunk();
    const RecordChunkHeader& Header() const { return chunk_; }
    uint64_t ChunkOffset() const { return chunkOffset_; }  // where Header() was read
    const uint8_t* Data() const { return buffer_.get(); }
    size_t DataSize() const { return dataSize_; }

    // Seek target: the first key picture stamped later than targetSec after the start.
    // Null when there is none (the position must then stay where it is).
    const RecordIndexEntry* FindSeekEntry(uint32_t targetSec) const;
    // FindSeekEntry and, when found, positions there. Returns whether it moved.
    bool SeekToTime(uint32_t targetSec);

    static constexpr uint64_t kFirstChunk = 39;

private:
    bool LoadTrailer(uint64_t fileSize, bool* refuse);
    void ScanIndex(uint64_t fileSize);
    bool ReadAt(uint64_t offset, void* dst, size_t n);
    bool ReadHeaderAt(uint64_t offset, RecordChunkHeader* h, bool* isTrailer);

    FILE* file_ = nullptr;
    uint8_t header_[28] = {};
    std::vector<RecordIndexEntry> index_;
    bool indexFromTrailer_ = false;
    uint64_t chunksEnd_ = 0;
    uint64_t position_ = 0;
    std::unique_ptr<uint8_t[]> buffer_;
    RecordChunkHeader chunk_;
    uint64_t chunkOffset_ = 0;
    size_t dataSize_ = 0;
};

}  // namespace kavro
