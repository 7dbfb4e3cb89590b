#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace kavro {

struct ClientHandle;
class CIConduit;
class IRecord;

// Per-packet video handling shared by the UDP receiver thread and the interleaved TCP reader:
// turns H.264 RTP payloads into an Annex B stream and RTP/JPEG fragments into whole JPEG
// images, writes them into the video conduit and records them as chunks. Does no I/O itself.
class RtpVideoDepacketizer {
public:
    static constexpr size_t kAssemblyCapacity = 0x100000;
    static constexpr uint32_t kJpegTypeUdp = 10;
    static constexpr uint32_t kJpegTypeTcp = 7;

    RtpVideoDepacketizer(ClientHandle* client, CIConduit* conduit, IRecord* record, uint32_t jpegChunkType);
    ~RtpVideoDepacketizer();
    RtpVideoDepacketizer(const RtpVideoDepacketizer&) = delete;
    RtpVideoDepacketizer& operator=(const RtpVideoDepacketizer&) = delete;

    // Allocates the JPEG assembly buffer once; false when that fails.
    bool Prepare();
    // Starts a receiving run: resets the key-picture timing state.
    void BeginRun();
    // Parameter sets from the stream description, as Annex B bytes (start code before each NAL
    // unit). Written in front of an IDR picture when the stream itself sent no SPS since the last one.
    void SetParameterSets(const uint8_t* annexB, size_t length);

    // One RTP packet (12-byte header included).
    void HandlePacket(const uint8_t* packet, size_t length);

private:
    void HandleH264(const uint8_t* packet, size_t length);
    void HandleNal(const uint8_t* nal, size_t length, bool endOfFrame);
    void HandleJpeg(const uint8_t* packet, size_t length);
    void InjectParameterSets();
    void SpsTiming();
    void IdrTiming();
    void Record(uint32_t type, bool key, const uint8_t* a, size_t alen, const uint8_t* b, size_t blen);

    ClientHandle* client_;
    CIConduit* conduit_;
    IRecord* record_;
    uint32_t jpegChunkType_;

    // Key-picture timing of the current run.
    uint32_t count_ = 10;
    uint32_t elapsed_ = 0;
    uint32_t spsTick_ = 0;
    int32_t interval_ = 40;
    bool spsSinceIdr_ = false;
    bool insideIdr_ = false;
    std::vector<uint8_t> parameterSets_;

    // JPEG frame being joined: headers are written once the first fragment is seen.
    std::unique_ptr<uint8_t[]> assembly_;
    size_t assemblyLength_ = 0;
    uint32_t expectedOffset_ = 0;
    bool assembling_ = false;
};

}  // namespace kavro
