#include "control/TextCursor.h"

#include <climits>
#include <cstring>

namespace kavro {

namespace {
int MeasuredLength(const char* text) {
    if (!text) return 0;
    size_t n = strlen(text);
    return n > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(n);
}
}  // namespace

void InitCursor(TextCursor& cursor, const char* text) {
    cursor.text = text;
    cursor.position = 0;
    cursor.length = MeasuredLength(text);
}

int CountLines(TextCursor& cursor) {
    cursor.position = 0;
    cursor.length = MeasuredLength(cursor.text);
    if (!cursor.text || cursor.length == 0) return 0;
    int lines = 0;
    for (int i = 0; i < cursor.length; ++i)
        if (cursor.text[i] == '\n') ++lines;
    if (cursor.text[cursor.length - 1] != '\n') ++lines;
    return lines;
}

bool ReadLine(TextCursor& cursor, char* out, size_t outSize) {
    if (!cursor.text || !out || outSize == 0) return false;
    if (cursor.length < 0 || cursor.position >= static_cast<unsigned int>(cursor.length)) return false;
    const char* start = cursor.text + cursor.position;
    size_t left = static_cast<size_t>(cursor.length) - cursor.position;
    const void* lf = memchr(start, '\n', left);
    size_t lineLength = lf ? static_cast<size_t>(static_cast<const char*>(lf) - start) + 1 : left;
    if (lineLength < outSize) {
        memcpy(out, start, lineLength);
        out[lineLength] = '\0';
    } else {
        out[0] = '\0';
    }
    cursor.position += static_cast<unsigned int>(lineLength);
    return true;
}

}  // namespace kavro
