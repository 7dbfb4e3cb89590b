#include "record/Snapshot.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "record/JpegEncoder.h"

namespace kavro {

namespace {

// Creates every folder leading to the file named by `path`.
bool MakeParentDirsLocal(const char* path) {
    char buf[kSnapshotPathSize];
    const size_t n = strnlen(path, sizeof buf);
    if (n == 0 || n >= sizeof buf) return false;
    memcpy(buf, path, n + 1);
    for (size_t i = 1; i < n; ++i) {
        if (buf[i] != '/') continue;
        buf[i] = '\0';
        if (mkdir(buf, 0755) != 0 && errno != EEXIST) return false;
        struct stat st;
        if (stat(buf, &st) != 0 || !S_ISDIR(st.st_mode)) return false;
        buf[i] = '/';
    }
    return true;
}

// Writes the whole buffer or removes what it wrote.
bool WriteWholeFile(const char* path, const uint8_t* data, size_t n) {
    FILE* f = fopen(path, "wb");
    if (!f) return false;
    const bool wrote = fwrite(data, 1, n, f) == n;
    const bool closed = fclose(f) == 0;
    if (wrote && closed) return true;
    unlink(path);
    return false;
}

bool UsablePath(const char* path) {
    return path && path[0] != '\0' && strnlen(path, kSnapshotPathSize) < kSnapshotPathSize;
}

}  // namespace

bool PrepareSnapshotPath(const char* path) { return UsablePath(path) && MakeParentDirsLocal(path); }

size_t SnapshotOutputCapacity(const DecodedPicture& picture) {
    if (picture.yStride <= 0 || picture.height <= 0) return 0;
    return static_cast<size_t>(picture.yStride) * static_cast<size_t>(picture.height) + 1024;
}

// Upper bound of an encoded image: every coefficient of every padded block at its longest
// code (26 bits), each byte possibly stuffed, plus the headers.
size_t WorstCaseJpegSize(const DecodedPicture& picture) {
    if (picture.width <= 0 || picture.height <= 0) return 0;
    const size_t blocks =
        static_cast<size_t>((picture.width + 7) / 8) * static_cast<size_t>((picture.height + 7) / 8);
    return blocks * 3 * (64 * 26 / 8 + 1) * 2 + 1024;
}

bool TakeSnapshot(const char* path, const DecodedPicture& picture) {
    if (!UsablePath(path)) return false;
    // Detailed or noisy pictures need more than the usual area; grow it instead of failing.
    const size_t limit = WorstCaseJpegSize(picture);
    size_t capacity = SnapshotOutputCapacity(picture);
    while (capacity > 0) {
        std::unique_ptr<uint8_t[]> out(new (std::nothrow) uint8_t[capacity]);
        if (!out) return false;
        size_t length = 0;
        const int rc =
            EncodeJpeg(picture.yStride, picture.y, picture.u, picture.v, picture.width, picture.height,
                       out.get(), capacity, &length, picture.uvStride > 0 ? picture.uvStride : -1);
        if (rc == kJpegOk) return WriteWholeFile(path, out.get(), length);
        if (rc != kJpegNoSpace || capacity >= limit) return false;
        capacity = std::min(capacity * 2, limit);
    }
    return false;
}

bool TakeSnapshot(const char* path, const DecodedPicture& picture, size_t outCapacity) {
    if (!UsablePath(path) || outCapacity == 0) return false;
    std::unique_ptr<uint8_t[]> out(new (std::nothrow) uint8_t[outCapacity]);
    if (!out) return false;
    size_t length = 0;
    if (EncodeJpeg(picture.yStride, picture.y, picture.u, picture.v, picture.width, picture.height, out.get(),
                   outCapacity, &length, picture.uvStride > 0 ? picture.uvStride : -1) != kJpegOk)
        return false;
    return WriteWholeFile(path, out.get(), length);
}

bool TakeFrameSnapshot(const char* path, const uint8_t* frame, size_t n) {
    if (!UsablePath(path) || !frame || n == 0) return false;
    return WriteWholeFile(path, frame, n);
}

}  // namespace kavro
