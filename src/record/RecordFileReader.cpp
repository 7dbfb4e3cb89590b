#include "record/RecordFileReader.h"

#include <sys/types.h>

#include <cstring>
#include <new>

namespace kavro {

bool RecordFileReader::ReadAt(uint64_t offset, void* dst, size_t n) {
    if (offset > static_cast<uint64_t>(INT64_MAX)) return false;
    if (fseeko(file_, static_cast<off_t>(offset), SEEK_SET) != 0) return false;
    return fread(dst, 1, n, file_) == n;
}

bool RecordFileReader::ReadHeaderAt(uint64_t offset, RecordChunkHeader* h, bool* isTrailer) {
    uint8_t b[kMediaChunkHeaderSize];
    if (!ReadAt(offset, b, sizeof b)) return false;
    // The trailer's first bytes read as a header of kind 2, which no writer produces.
    *isTrailer = memcmp(b, kIndexBeginMark, kIndexBeginMarkSize) == 0;
    h->word = GetLe32(b);
    h->width = GetLe16(b + 4);
    h->height = GetLe16(b + 6);
    h->timestamp = GetLe32(b + 8);
    return true;
}

bool RecordFileReader::Open(const char* path) {
    Close();
    if (!path || path[0] == '\0' || strnlen(path, kMaxPathLength + 1) > kMaxPathLength) return false;
    file_ = fopen(path, "rb");
    if (!file_) return false;

    char magic[kRecordMagicSize];
    if (!ReadAt(0, magic, sizeof magic) || memcmp(magic, kRecordMagic, sizeof magic) != 0 ||
        !ReadAt(kRecordMagicSize, header_, sizeof header_)) {
        Close();
        return false;
    }
    if (fseeko(file_, 0, SEEK_END) != 0) {
        Close();
        return false;
    }
    const off_t end = ftello(file_);
    if (end < 0) {
        Close();
        return false;
    }
    const uint64_t fileSize = static_cast<uint64_t>(end);

    bool refuse = false;
    if (!LoadTrailer(fileSize, &refuse)) {
        if (refuse) {
            Close();
            return false;
        }
        ScanIndex(fileSize);
    }

    buffer_.reset(new (std::nothrow) uint8_t[kChunkBufferSize]);
    if (!buffer_) {
        Close();
        return false;
    }
    position_ = kFirstChunk;
    return true;
}

void RecordFileReader::Close() {
    if (file_) fclose(file_);
    file_ = nullptr;
    buffer_.reset();
    index_.clear();
    indexFromTrailer_ = false;
    chunksEnd_ = position_ = 0;
    dataSize_ = 0;
    memset(header_, 0, sizeof header_);
}

bool RecordFileReader::LoadTrailer(uint64_t fileSize, bool* refuse) {
    *refuse = false;
    if (fileSize < kFirstChunk + kIndexTrailerFixedSize) return false;
    char tail[kIndexEndMarkSize];
    if (!ReadAt(fileSize - kIndexEndMarkSize, tail, sizeof tail) ||
        memcmp(tail, kIndexEndMark, kIndexEndMarkSize) != 0)
        return false;
    uint8_t nb[4];
    if (!ReadAt(fileSize - kIndexEndMarkSize - 4, nb, sizeof nb)) return false;
    const uint64_t n = GetLe32(nb);
    if (n == 0) {
        *refuse = true;  // stopped before the first key picture: nothing to show
        return false;
    }
    const uint64_t trailerSize = kIndexTrailerFixedSize + kIndexEntrySize * n;
    if (trailerSize > fileSize - kFirstChunk) return false;
    const uint64_t start = fileSize - trailerSize;
    char begin[kIndexBeginMarkSize];
    if (!ReadAt(start, begin, sizeof begin) || memcmp(begin, kIndexBeginMark, kIndexBeginMarkSize) != 0)
        return false;

    // n is bounded by the file size here, so the entries can be held.
    std::vector<RecordIndexEntry> entries;
    entries.reserve(static_cast<size_t>(n));
    if (fseeko(file_, static_cast<off_t>(start + kIndexBeginMarkSize), SEEK_SET) != 0) return false;
    uint64_t lastOffset = kFirstChunk;
    for (uint64_t i = 0; i < n; ++i) {
        uint8_t e[kIndexEntrySize];
        if (fread(e, 1, sizeof e, file_) != sizeof e) return false;
        const RecordIndexEntry entry = UnpackIndexEntry(e);
        // An entry outside the chunks, or out of order, means the trailer cannot be trusted.
        if (entry.offset < lastOffset || entry.offset + kMediaChunkHeaderSize > start) return false;
        lastOffset = entry.offset;
        entries.push_back(entry);
    }
    index_.swap(entries);
    indexFromTrailer_ = true;
    chunksEnd_ = start;
    return true;
}

void RecordFileReader::ScanIndex(uint64_t fileSize) {
    index_.clear();
    indexFromTrailer_ = false;
    chunksEnd_ = fileSize;
    uint64_t pos = kFirstChunk;
    RecordChunkHeader h;
    bool isTrailer = false;
    while (pos + kMediaChunkHeaderSize <= fileSize && ReadHeaderAt(pos, &h, &isTrailer)) {
        if (isTrailer) {
            chunksEnd_ = pos;
            break;
        }
        const uint64_t next = pos + kMediaChunkHeaderSize + h.length();
        if (next > fileSize) break;  // cut-off last chunk: not a usable key picture
        if (h.kind() == kChunkKindVideo && (h.type() & 0xF) == kNalTypeSps)
            index_.push_back({pos, h.timestamp});
        pos = next;
    }
}

bool RecordFileReader::SetPosition(uint64_t offset) {
    if (!file_ || offset < kFirstChunk || offset > chunksEnd_) return false;
    position_ = offset;
    return true;
}

RecordFileReader::Read RecordFileReader::ReadChunk() {
    dataSize_ = 0;
    if (!file_) return Read::kEnd;
    for (;;) {
        bool isTrailer = false;
        if (position_ + kMediaChunkHeaderSize > chunksEnd_ || !ReadHeaderAt(position_, &chunk_, &isTrailer))
            return Read::kEnd;
        if (isTrailer) {
            chunksEnd_ = position_;
            return Read::kEnd;
        }
        chunkOffset_ = position_;
        const uint64_t dataStart = position_ + kMediaChunkHeaderSize;
        const uint64_t next = dataStart + chunk_.length();
        if (chunk_.kind() > 1) {
            position_ = next < chunksEnd_ ? next : chunksEnd_;
            continue;
        }
        const size_t want =
            static_cast<size_t>(next <= chunksEnd_ ? chunk_.length() : chunksEnd_ - dataStart);
        size_t got = 0;
        if (want > 0 && fseeko(file_, static_cast<off_t>(dataStart), SEEK_SET) == 0)
            got = fread(buffer_.get(), 1, want, file_);
        dataSize_ = got;
        if (got < chunk_.length()) {
            position_ = chunksEnd_;
            return Read::kTruncated;
        }
        position_ = next;
        return Read::kChunk;
    }
}

const RecordIndexEntry* RecordFileReader::FindSeekEntry(uint32_t targetSec) const {
    const uint32_t target = targetSec * 1000u + StartTime();
    for (const auto& e : index_)
        if (e.timestamp > target) return &e;
    return nullptr;
}

bool RecordFileReader::SeekToTime(uint32_t targetSec) {
    const RecordIndexEntry* e = FindSeekEntry(targetSec);
    return e && SetPosition(e->offset);
}

}  // namespace kavro
