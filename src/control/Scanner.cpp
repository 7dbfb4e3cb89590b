#include "control/Scanner.h"

namespace kavro {

namespace {
bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Reads one %d at *p; false (with *p untouched) when no number in range is there.
bool ReadNumber(const char** p, int32_t* value) {
    const char* s = *p;
    while (IsSpace(*s)) ++s;
    bool negative = false;
    if (*s == '+' || *s == '-') {
        negative = *s == '-';
        ++s;
    }
    if (!IsDigit(*s)) return false;
    const int64_t limit = negative ? 2147483648LL : 2147483647LL;
    int64_t magnitude = 0;
    while (IsDigit(*s)) {
        magnitude = magnitude * 10 + (*s - '0');
        if (magnitude > limit) return false;
        ++s;
    }
    *value = static_cast<int32_t>(negative ? -magnitude : magnitude);
    *p = s;
    return true;
}
}  // namespace

int ScanValues(const char* text, const char* format, int32_t* values, int maxValues) {
    if (!text || !format || !values || maxValues <= 0) return 0;
    const char* s = text;
    const char* f = format;
    int count = 0;
    while (*f) {
        if (IsSpace(*f)) {
            while (IsSpace(*f)) ++f;
            while (IsSpace(*s)) ++s;
            continue;
        }
        if (*f == '%' && f[1] == 'd') {
            if (count >= maxValues) break;
            int32_t v = 0;
            if (!ReadNumber(&s, &v)) break;
            values[count++] = v;
            f += 2;
            continue;
        }
        if (*f == '%' && f[1] != '%') break;  // no other conversion is used on replies
        if (*f == '%') ++f;
        if (*s != *f) break;
        ++s;
        ++f;
    }
    return count;
}

}  // namespace kavro
