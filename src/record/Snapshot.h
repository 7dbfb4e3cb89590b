#pragma once
#include <cstddef>
#include <cstdint>

#include "codec/DecodedPicture.h"

namespace kavro {

// Size of the handle's snapshotPath, terminator included.
constexpr size_t kSnapshotPathSize = 256;

// Host-thread half of a snapshot request: true when `path` is non-empty, fits snapshotPath
// and its folders exist or could be made. A false result must leave no request pending.
bool PrepareSnapshotPath(const char* path);

// Output area the encoder is given for a picture: yStride x height plus room for the headers.
size_t SnapshotOutputCapacity(const DecodedPicture& picture);

// Upper bound of the encoded size of `picture`.
size_t WorstCaseJpegSize(const DecodedPicture& picture);

// Encodes `picture` as JPEG and writes it to `path` (an existing file is replaced). Starts
// with SnapshotOutputCapacity and doubles the area up to WorstCaseJpegSize when the image
// does not fit. On any failure (bad picture, no memory, file not writable) returns false
// and leaves no new file behind.
bool TakeSnapshot(const char* path, const DecodedPicture& picture);
// Same with one fixed output area: an image that does not fit fails.
bool TakeSnapshot(const char* path, const DecodedPicture& picture, size_t outCapacity);

// Writes a received JPEG frame unchanged. Same failure rule as TakeSnapshot; an empty frame
// is refused.
bool TakeFrameSnapshot(const char* path, const uint8_t* frame, size_t n);

}  // namespace kavro
