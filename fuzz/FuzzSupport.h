#pragma once
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "record/RecordFileReader.h"
#include "source/CAVSource.h"

namespace kavro {
namespace fuzz {

// Takes the fuzz input apart front to back; reads past the end give zeros.
class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    uint16_t Word() {
        uint16_t hi = Byte();
        return static_cast<uint16_t>(hi << 8 | Byte());
    }
    uint32_t Dword() {
        uint32_t hi = Word();
        return hi << 16 | Word();
    }
    // The next piece: a 16-bit big-endian length, then that many bytes (cut at the end).
    bool Piece(const uint8_t** piece, size_t* length) {
        if (pos_ + 2 > size_) return false;
        size_t n = Word();
        if (n > size_ - pos_) n = size_ - pos_;
        *piece = data_ + pos_;
        *length = n;
        pos_ += n;
        return true;
    }
    const uint8_t* Rest() const { return data_ + pos_; }
    size_t RestSize() const { return size_ - pos_; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// A directory of its own under /tmp for the life of the process.
inline const std::string& TempDir() {
    static const std::string dir = [] {
        char tmpl[] = "/tmp/kavro-fuzz-XXXXXX";
        if (mkdtemp(tmpl) == nullptr) abort();
        std::string d = tmpl;
        static std::string toRemove = d;
        atexit([] { rmdir(toRemove.c_str()); });
        return d;
    }();
    return dir;
}

inline std::string TempPath(const char* name) { return TempDir() + "/" + name; }

inline void WriteFile(const std::string& path, const uint8_t* data, size_t size) {
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr) abort();
    if (size > 0 && fwrite(data, 1, size, f) != size) abort();
    fclose(f);
}

// A file just recorded must read back whole: every chunk complete. Replay refuses a file
// whose trailer lists no key picture (nothing to start from), so only that refusal is allowed.
inline void CheckRecordFile(const std::string& path) {
    RecordFileReader reader;
    if (!reader.Open(path.c_str())) {
        FILE* f = fopen(path.c_str(), "rb");
        uint8_t tail[12] = {};
        const bool emptyIndex = f && fseek(f, -12, SEEK_END) == 0 && fread(tail, 1, 12, f) == 12 &&
                                memcmp(tail + 4, "ENDINDEX", 8) == 0 && tail[0] == 0 && tail[1] == 0 &&
                                tail[2] == 0 && tail[3] == 0;
        if (f) fclose(f);
        if (!emptyIndex) abort();
        return;
    }
    for (;;) {
        RecordFileReader::Read r = reader.ReadChunk();
        if (r == RecordFileReader::Read::kTruncated) abort();
        if (r == RecordFileReader::Read::kEnd) break;
        if (reader.DataSize() != reader.Header().length()) abort();
    }
}

// A source without a thread, used for its recording half.
class RecordingSource : public CAVSource {
public:
    int Init() override { return 1; }
    void Release() override {}
    int Run() override { return 0; }
    int Stop() override { return StopAndWait(); }
};

}  // namespace fuzz
}  // namespace kavro
