#include "record/AviReader.h"

#include <sys/types.h>

#include <cstring>
#include <new>

namespace kavro {

namespace {

constexpr uint64_t kSignatureOffset = 336;
const char kSignature[] = "TessaraVine";  // 11 bytes on disk
constexpr uint64_t kEntrySize = 16;
constexpr uint64_t kFrameStride = kEntrySize * AviReader::kEntriesPerFrame;

uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

bool ReadFrom(FILE* f, uint64_t offset, void* dst, size_t n) {
    if (offset > static_cast<uint64_t>(INT64_MAX) || fseeko(f, static_cast<off_t>(offset), SEEK_SET) != 0)
        return false;
    return fread(dst, 1, n, f) == n;
}

}  // namespace

bool AviReader::HasSignature(FILE* f) {
    char riff[4], sig[11];
    return f && ReadFrom(f, 0, riff, sizeof riff) && memcmp(riff, "RIFF", 4) == 0 &&
           ReadFrom(f, kSignatureOffset, sig, sizeof sig) && memcmp(sig, kSignature, sizeof sig) == 0;
}

bool AviReader::ReadAt(uint64_t offset, void* dst, size_t n) { return ReadFrom(file_, offset, dst, n); }

bool AviReader::Open(const char* path) {
    Close();
    if (!path || path[0] == '\0' || strnlen(path, kMaxPathLength + 1) > kMaxPathLength) return false;
    file_ = fopen(path, "rb");
    if (!file_ || !HasSignature(file_) || fseeko(file_, 0, SEEK_END) != 0) {
        Close();
        return false;
    }
    const off_t end = ftello(file_);
    uint8_t b[4];
    buffer_.reset(new (std::nothrow) uint8_t[kChunkBufferSize]);
    if (end < 0 || !buffer_) {
        Close();
        return false;
    }
    fileSize_ = static_cast<uint64_t>(end);
    rate_ = ReadAt(132, b, 4) ? Le32(b) : 0;
    frameCount_ = ReadAt(48, b, 4) ? Le32(b) : 0;

    // The index is taken to be the fourth chunk of the form: pass over three chunks by their sizes.
    uint64_t pos = 16;
    indexStart_ = fileSize_;  // no entries unless the walk below succeeds
    bool ok = true;
    for (int i = 0; i < 3 && ok; ++i) {
        ok = ReadAt(pos, b, 4);
        pos += 4 + static_cast<uint64_t>(Le32(b)) + 4;
    }
    if (ok && ReadAt(pos, b, 4)) indexStart_ = pos + 4;
    position_ = indexStart_;
    return true;
}

void AviReader::Close() {
    if (file_) fclose(file_);
    file_ = nullptr;
    buffer_.reset();
    fileSize_ = 0;
    rate_ = frameCount_ = 0;
    indexStart_ = position_ = 0;
    dataSize_ = 0;
}

bool AviReader::ReadEntryAt(uint64_t p, AviIndexEntry* e) {
    uint8_t b[16];
    if (!file_ || !ReadAt(p, b, sizeof b)) return false;
    memcpy(e->id, b, 4);
    e->flags = Le32(b + 4);
    e->offset = Le32(b + 8);
    e->length = Le32(b + 12);
    return true;
}

// Data of a chunk starts past its identifier and size. Reads what is there, up to its length.
size_t AviReader::ReadData(const AviIndexEntry& e) {
    if (e.length > kChunkBufferSize) return 0;
    const uint64_t start = static_cast<uint64_t>(e.offset) + 8;
    if (start >= fileSize_ || fseeko(file_, static_cast<off_t>(start), SEEK_SET) != 0) return 0;
    return fread(buffer_.get(), 1, e.length, file_);
}

AviReader::Entry AviReader::ReadEntry(bool wantAudio) {
    dataSize_ = 0;
    if (!ReadEntryAt(position_, &entry_)) return Entry::kEnd;
    position_ += kEntrySize;
    const bool video = memcmp(entry_.id, "00dc", 4) == 0;
    const bool audio = memcmp(entry_.id, "01wb", 4) == 0;
    if (!video && !audio) return Entry::kSkipped;
    if (entry_.length > kChunkBufferSize) return Entry::kSkipped;
    if (audio && !wantAudio) return Entry::kAudio;
    dataSize_ = ReadData(entry_);
    if (dataSize_ == 0 && entry_.length > 0) return Entry::kSkipped;
    return video ? Entry::kVideo : Entry::kAudio;
}

bool AviReader::FindSeekFrame(uint32_t targetSec, uint32_t* frame) {
    if (!file_ || indexStart_ + 12 > fileSize_) return false;
    // Start no later than the last picture whose first entry is in the file.
    uint64_t f = static_cast<uint64_t>(targetSec) * kFramesPerSecond;
    const uint64_t lastFrame = (fileSize_ - indexStart_ - 12) / kFrameStride;
    if (f > lastFrame) f = lastFrame;
    for (;; --f) {
        uint8_t b[4], tag;
        if (ReadAt(indexStart_ + kFrameStride * f + 8, b, 4) &&
            ReadAt(static_cast<uint64_t>(Le32(b)) + 12, &tag, 1) && tag == 0x61) {
            *frame = static_cast<uint32_t>(f);
            return true;
        }
        if (f == 0) return false;
    }
}

bool AviReader::SeekToTime(uint32_t targetSec) {
    uint32_t frame = 0;
    if (!FindSeekFrame(targetSec, &frame)) return false;
    const uint64_t p = indexStart_ + kFrameStride * frame;
    dataSize_ = 0;
    if (ReadEntryAt(p, &entry_)) dataSize_ = ReadData(entry_);
    position_ = p + kFrameStride;
    return true;
}

}  // namespace kavro
