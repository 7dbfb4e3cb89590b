// A run of RTP video packets (H.264 or JPEG) through the depacketizer into a real conduit; for
// part of the inputs also recorded, and the record file read back.
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "FuzzSupport.h"
#include "api/ClientHandle.h"
#include "conduit/CBufferConduit.h"
#include "source/RtpVideoDepacketizer.h"

using namespace kavro;

namespace {

constexpr int kConduitCapacity = 0x200000;

void DrainIfFull(CBufferConduit& conduit, std::vector<uint8_t>& frame) {
    while (conduit.GetDataSize() > kConduitCapacity / 2) {
        int got = conduit.ReadFrame(frame.data(), static_cast<int>(frame.size()), nullptr, 0);
        if (got <= 0) {
            conduit.Reset();  // a partial frame larger than the rest of the buffer
            break;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::vector<uint8_t> frame(RtpVideoDepacketizer::kAssemblyCapacity + 64);
    fuzz::Input in(data, size);
    const uint8_t mode = in.Byte();
    const bool jpeg = mode & 1;
    const bool record = mode & 2;

    ClientHandle client;
    client.videoPayloadType = jpeg ? 26 : 96;
    client.fps = mode >> 4;  // 0..15, 0 included
    client.videoWidth = 352;
    client.videoHeight = 288;
    CBufferConduit video;
    if (!video.Init(kConduitCapacity, 0, 8192, 1)) abort();
    fuzz::RecordingSource source;
    source.client = &client;
    source.videoConduit = &video;
    const std::string path = fuzz::TempPath("video.rec");
    snprintf(client.recordPath, sizeof client.recordPath, "%s", path.c_str());

    RtpVideoDepacketizer d(
        &client, &video, &source,
        mode & 4 ? RtpVideoDepacketizer::kJpegTypeTcp : RtpVideoDepacketizer::kJpegTypeUdp);
    if (!d.Prepare()) abort();
    d.BeginRun();
    if (record && source.StartRecord() != 1) abort();

    const uint8_t* piece;
    size_t length;
    if (mode & 8 && in.Piece(&piece, &length)) d.SetParameterSets(piece, length);
    int packets = 0;
    while (in.Piece(&piece, &length)) {
        // A private copy sized exactly, so reads past the datagram are caught.
        std::vector<uint8_t> packet(piece, piece + length);
        d.HandlePacket(packet.data(), packet.size());
        if (++packets % 64 == 0) d.BeginRun();  // a restarted receive run keeps the same buffers
        DrainIfFull(video, frame);
    }
    while (video.ReadFrame(frame.data(), static_cast<int>(frame.size()), nullptr, 0) > 0) {
    }

    if (record) {
        source.StopRecord();
        fuzz::CheckRecordFile(path);
        unlink(path.c_str());
    }
    return 0;
}
