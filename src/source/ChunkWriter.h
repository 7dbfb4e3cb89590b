#pragma once
#include <cstdint>

#include "source/MediaChunkHeader.h"

namespace kavro {

class IRecord;
struct ClientHandle;

struct ChunkPart {
    const void* data = nullptr;
    uint32_t length = 0;
};

// One chunk of media as a producer hands it to the recordings. The data may come in two
// parts (an audio chunk's voice frame header and its payload); they are stored back to back.
struct MediaChunk {
    uint32_t kind = kChunkKindVideo;
    // H.264: the NAL unit type; JPEG: kJpegChunkTypeUdp or kJpegChunkTypeTcp; audio: the codec code.
    uint32_t type = 0;
    bool jpegFrame = false;     // a whole JPEG frame: always starts a key picture
    uint32_t rtpTimestamp = 0;  // audio only, host order; video chunks carry the tick of the write
    ChunkPart parts[2];
};

MediaChunk H264Chunk(uint32_t nalType, const void* data, uint32_t length);
MediaChunk JpegChunk(uint32_t chunkType, const void* data, uint32_t length);
MediaChunk AudioChunk(uint32_t codec, uint32_t rtpTimestamp, const void* voiceHeader, uint32_t headerLength,
                      const void* payload, uint32_t payloadLength);

// Appends the chunk, behind its MediaChunkHeader, to the normal and then to the alarm
// recording of `record`, whichever is active. A video chunk that finds a recording past its
// duration stops that recording instead and raises 6/4 (6/5 for the alarm one). A key-picture
// chunk first gets an index entry. Chunks longer than the header can describe are not recorded.
void WriteMediaChunk(IRecord& record, ClientHandle* client, const MediaChunk& chunk);

}  // namespace kavro
