#pragma once
#include <cstddef>

namespace kavro {

// A read position in a NUL-terminated reply text (the text is not owned).
struct TextCursor {
    const char* text = nullptr;
    unsigned int position = 0;
    int length = 0;
};

// Room a line buffer needs for any line of a reply (replies hold at most 1024 bytes).
constexpr size_t kLineBufferSize = 1025;

void InitCursor(TextCursor& cursor, const char* text);

// Lines of the whole text; a line ends after a line feed or at the end of the text. Rewinds the cursor.
int CountLines(TextCursor& cursor);

// Copies the next line, line feed included, into out and NUL-terminates it. A line that does not fit
// into outSize is consumed whole but handed out empty, so a cut-off value can never be read as a
// different one. false at the end of the text.
bool ReadLine(TextCursor& cursor, char* out, size_t outSize);

}  // namespace kavro
