#pragma once
#include <cstddef>
#include <cstdint>

namespace kavro {

// Writes JPEG headers for a frame received as RTP/JPEG scan data: SOI, DQT, SOF0, the standard
// Huffman tables, DRI when restart markers are used, SOS. Returns the header length, or 0 when
// it does not fit in `cap` bytes.
//   type: RTP/JPEG type (0/64: 4:2:2, 1/65: 4:2:0); widthPx/heightPx: picture size in pixels;
//   qTables: 128 bytes (luma then chroma, zig-zag order, 8-bit precision); restartInterval: 0 = none.
size_t WriteJpegHeaders(uint8_t* out, size_t cap, int type, int widthPx, int heightPx, const uint8_t* qTables,
                        uint16_t restartInterval);

// The quantization tables that RTP/JPEG senders imply for Q 1..99 (luma then chroma, zig-zag).
void MakeRtpJpegQuantTables(int q, uint8_t out[128]);

}  // namespace kavro
