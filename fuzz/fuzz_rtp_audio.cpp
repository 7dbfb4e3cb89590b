// A run of RTP audio packets through the depacketizer and voice decoder into a real conduit;
// for part of the inputs also recorded, and the record file read back.
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <vector>

#include "FuzzSupport.h"
#include "api/ClientHandle.h"
#include "conduit/CBufferConduit.h"
#include "source/RtpAudioDepacketizer.h"

using namespace kavro;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const uint8_t kCodecs[8] = {1, 2, 4, 5, 6, 7, 0, 3};
    fuzz::Input in(data, size);
    const uint8_t mode = in.Byte();
    const bool record = mode & 8;

    ClientHandle client;
    client.audioCodec = kCodecs[mode & 7];
    client.audioOn = mode & 16 ? 1 : 0;
    CBufferConduit audio;
    if (!audio.Init(0x20000, 0, 8192, 0)) abort();
    fuzz::RecordingSource source;
    source.client = &client;
    source.audioConduit = &audio;
    const std::string path = fuzz::TempPath("audio.rec");
    snprintf(client.recordPath, sizeof client.recordPath, "%s", path.c_str());

    // The heap object keeps the large sample area under ASan's eye.
    auto d = std::make_unique<RtpAudioDepacketizer>(&client, &audio, &source);
    const bool supported = d->BeginRun();
    if (supported != ((mode & 7) < 6)) abort();
    if (!supported) return 0;
    if (record && source.StartRecord() != 1) abort();

    const uint8_t* piece;
    size_t length;
    std::vector<uint8_t> pcm(0x20000);
    while (in.Piece(&piece, &length)) {
        std::vector<uint8_t> packet(piece, piece + length);
        bool taken = d->HandlePacket(packet.data(), packet.size());
        if (taken && length < 12) abort();
        int left = 0;
        if (audio.GetDataSize() > 0) audio.Read(pcm.data(), audio.GetDataSize(), &left, 0);
    }

    if (record) {
        source.StopRecord();
        fuzz::CheckRecordFile(path);
        unlink(path.c_str());
    }
    return 0;
}
