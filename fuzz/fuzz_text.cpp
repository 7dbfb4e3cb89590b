// Reply text of a camera command: line cursor and template scanning.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "FuzzSupport.h"
#include "control/Scanner.h"
#include "control/TextCursor.h"

using namespace kavro;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    const size_t outSize = in.Byte() % 40 + 1;
    const int maxValues = in.Byte() % 12;
    const uint8_t* formatBytes;
    size_t formatLength;
    if (!in.Piece(&formatBytes, &formatLength)) return 0;
    const std::string format(reinterpret_cast<const char*>(formatBytes), formatLength);
    const std::string text(reinterpret_cast<const char*>(in.Rest()), in.RestSize());
    const size_t textLength = strlen(text.c_str());

    TextCursor cursor;
    InitCursor(cursor, text.c_str());
    const int lines = CountLines(cursor);
    // Exactly sized, so that a line copied past outSize is caught.
    for (size_t cap : {outSize, kLineBufferSize}) {
        std::unique_ptr<char[]> line(new char[cap]);
        InitCursor(cursor, text.c_str());
        int read = 0;
        size_t consumed = 0;
        while (ReadLine(cursor, line.get(), cap)) {
            const size_t n = strlen(line.get());
            if (n >= cap) abort();
            if (n > 0 && memcmp(line.get(), text.c_str() + consumed, n) != 0) abort();
            const char* end =
                static_cast<const char*>(memchr(text.c_str() + consumed, '\n', textLength - consumed));
            consumed = end ? static_cast<size_t>(end - text.c_str()) + 1 : textLength;
            if (++read > lines) abort();
        }
        if (read != lines) abort();
    }

    std::unique_ptr<int32_t[]> values(new int32_t[maxValues ? maxValues : 1]);
    const int got = ScanValues(text.c_str(), format.c_str(), values.get(), maxValues);
    if (got < 0 || got > maxValues) abort();
    return 0;
}
