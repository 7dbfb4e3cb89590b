#include "support/source_recording.h"

#include "record/RecordFileReader.h"

namespace kavro::test {

RecordedChunks ReadRecordedChunks(const std::string& path) {
    RecordedChunks out;
    RecordFileReader reader;
    out.opened = reader.Open(path.c_str());
    while (out.opened && reader.ReadChunk() == RecordFileReader::Read::kChunk) {
        if (reader.Header().kind() == 0) {
            out.videoTypes.insert(reader.Header().type());
            ++out.videoChunks;
        } else {
            ++out.audioChunks;
        }
    }
    return out;
}

}  // namespace kavro::test
