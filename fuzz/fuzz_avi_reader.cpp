// AVI files as replay opens them: the input is the whole file.
#include <unistd.h>

#include <cstdlib>

#include "FuzzSupport.h"
#include "record/AviReader.h"

using namespace kavro;

namespace {

void ReadSome(AviReader& reader, int limit, bool wantAudio) {
    for (int i = 0; i < limit; ++i) {
        AviReader::Entry e = reader.ReadEntry(wantAudio);
        if (e == AviReader::Entry::kEnd) return;
        if (reader.DataSize() > AviReader::kChunkBufferSize) abort();
        if (e == AviReader::Entry::kAudio && !wantAudio && reader.DataSize() != 0) abort();
        volatile uint8_t sink = 0;
        for (size_t k = 0; k < reader.DataSize(); k += 4096) sink = sink + reader.Data()[k];
        if (reader.DataSize() > 0) sink = sink + reader.Data()[reader.DataSize() - 1];
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const uint8_t seekSec = data[size - 2];
    const uint8_t flags = data[size - 1];
    const std::string path = fuzz::TempPath("replay.avi");
    fuzz::WriteFile(path, data, size - 2);

    AviReader reader;
    if (reader.Open(path.c_str())) {
        (void)reader.TotalTimeSec();
        ReadSome(reader, 3000, flags & 1);
        (void)reader.CurTimeSec();
        uint32_t frame = 0;
        (void)reader.FindSeekFrame(seekSec, &frame);
        const uint64_t before = reader.Position();
        if (!reader.SeekToTime(seekSec) && reader.Position() != before) abort();
        ReadSome(reader, 50, flags & 2);
        reader.SetPosition((flags >> 2) * (size / 64 + 1));
        ReadSome(reader, 50, true);
    }
    reader.Close();
    unlink(path.c_str());
    return 0;
}
