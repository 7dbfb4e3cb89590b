#pragma once
// Test support: what a record file written by a live source holds. Kept apart from the source
// headers, whose record declarations clash with the reader's.
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>

namespace kavro::test {

struct RecordedChunks {
    bool opened = false;
    std::set<uint32_t> videoTypes;
    size_t videoChunks = 0;
    size_t audioChunks = 0;
};

RecordedChunks ReadRecordedChunks(const std::string& path);

}  // namespace kavro::test
