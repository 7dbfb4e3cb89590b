// Record files as replay opens them: the input is the whole file.
#include <unistd.h>

#include <cstdlib>

#include "FuzzSupport.h"
#include "record/RecordFileReader.h"

using namespace kavro;

namespace {

void ReadSome(RecordFileReader& reader, int limit) {
    for (int i = 0; i < limit; ++i) {
        RecordFileReader::Read r = reader.ReadChunk();
        if (r != RecordFileReader::Read::kChunk) return;
        const RecordChunkHeader& h = reader.Header();
        if (h.kind() > 1) abort();  // kinds 2 and 3 are passed over
        if (reader.DataSize() != h.length()) abort();
        if (reader.ChunkOffset() + 12 + h.length() > reader.ChunksEnd()) abort();  // never trailer bytes
        volatile uint8_t sink = 0;
        for (size_t k = 0; k < reader.DataSize(); k += 4096) sink = sink + reader.Data()[k];
        if (reader.DataSize() > 0) sink = sink + reader.Data()[reader.DataSize() - 1];
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    // Last two bytes steer the walk; the rest is the file.
    const uint8_t seekSec = data[size - 2];
    const uint8_t jump = data[size - 1];
    const std::string path = fuzz::TempPath("replay.rec");
    fuzz::WriteFile(path, data, size - 2);

    RecordFileReader reader;
    if (reader.Open(path.c_str())) {
        if (reader.ChunksEnd() > size - 2) abort();
        for (size_t i = 1; i < reader.Index().size(); ++i) (void)reader.Index()[i];
        ReadSome(reader, 2000);
        const RecordIndexEntry* e = reader.FindSeekEntry(seekSec);
        const uint64_t before = reader.Position();
        const bool moved = reader.SeekToTime(seekSec);
        if (moved != (e != nullptr)) abort();
        if (!moved && reader.Position() != before) abort();
        ReadSome(reader, 50);
        (void)reader.TotalTimeSec();
        (void)reader.CurTimeSec(reader.Header().timestamp);
        // An arbitrary position, as a damaged index could name.
        reader.SetPosition(jump * (size / 256 + 1));
        ReadSome(reader, 50);
        reader.Rewind();
        ReadSome(reader, 50);
    }
    reader.Close();
    unlink(path.c_str());
    return 0;
}
