#pragma once
#include <cstdint>

namespace kavro {

// Takes a reply line apart by a printf-style template, the way scanf reads it back: "%d" takes a signed
// decimal number after any leading white space, a white-space character of the template matches any run
// of white space (also none), "%%" and every other character must match exactly. Scanning stops at the
// first mismatch, at the end of the text, at an unsupported conversion, or after maxValues values.
// A number outside the 32-bit range is a mismatch (not converted). Returns the count of values converted.
int ScanValues(const char* text, const char* format, int32_t* values, int maxValues);

}  // namespace kavro
