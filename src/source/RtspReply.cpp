#include "source/RtspReply.h"

#include <cctype>
#include <cstring>

namespace kavro {

namespace {

bool StartsWithNoCase(const char* p, const char* end, const char* prefix) {
    for (; *prefix; ++p, ++prefix) {
        if (p >= end ||
            std::tolower(static_cast<unsigned char>(*p)) != std::tolower(static_cast<unsigned char>(*prefix)))
            return false;
    }
    return true;
}

const char* LineEnd(const char* p, const char* end) {
    while (p < end && *p != '\r' && *p != '\n') ++p;
    return p;
}

const char* NextLine(const char* p, const char* end) {
    p = LineEnd(p, end);
    if (p < end && *p == '\r') ++p;
    if (p < end && *p == '\n') ++p;
    return p;
}

const char* SkipBlanks(const char* p, const char* end) {
    while (p < end && (*p == ' ' || *p == '\t')) ++p;
    return p;
}

const char* FindHeader(const char* begin, const char* end, const char* name, const char* from,
                       const char** valueEnd) {
    for (const char* p = from ? from : begin; p < end; p = NextLine(p, end)) {
        if (StartsWithNoCase(p, end, name)) {
            const char* v = p + std::strlen(name);
            if (v < end && *v == ':') {
                *valueEnd = LineEnd(v, end);
                return SkipBlanks(v + 1, *valueEnd);
            }
        }
        if (LineEnd(p, end) == end) break;
    }
    return nullptr;
}

// Copies the quoted value of parameter name="..." of a challenge into out (at most
// capacity - 1 characters).
bool QuotedParameter(const char* begin, const char* end, const char* name, char* out, size_t capacity) {
    size_t nameLength = std::strlen(name);
    for (const char* p = begin; p + nameLength + 2 <= end; ++p) {
        if (p != begin && p[-1] != ' ' && p[-1] != ',' && p[-1] != '\t') continue;
        if (std::strncmp(p, name, nameLength) != 0 || p[nameLength] != '=' || p[nameLength + 1] != '"')
            continue;
        const char* v = p + nameLength + 2;
        size_t n = 0;
        while (v + n < end && v[n] != '"' && n + 1 < capacity) ++n;
        std::memcpy(out, v, n);
        out[n] = '\0';
        return true;
    }
    return false;
}

}  // namespace

const char* FindRtspHeader(const char* begin, const char* end, const char* name, const char** valueEnd) {
    return FindHeader(begin, end, name, nullptr, valueEnd);
}

RtspReplyExtent MeasureRtspReply(const char* buffer, size_t have, size_t capacity) {
    RtspReplyExtent r;
    if (buffer == nullptr || have == 0) return r;  // nothing received yet
    const char* headerEnd = nullptr;
    if (const void* p = memmem(buffer, have, "\r\n\r\n", 4)) {
        headerEnd = static_cast<const char*>(p) + 4;
    } else if (const void* q = memmem(buffer, have, "\n\n", 2)) {
        headerEnd = static_cast<const char*>(q) + 2;
    }
    if (!headerEnd) {
        // Headers that never end are cut at the buffer's size.
        if (have >= capacity) {
            r.complete = true;
            r.length = have;
        }
        return r;
    }
    const size_t headerLength = static_cast<size_t>(headerEnd - buffer);
    const char* valueEnd = nullptr;
    const char* value = FindHeader(buffer, headerEnd, "Content-Length", nullptr, &valueEnd);
    size_t bodyLength = 0;
    bool sized = false;
    if (value) {
        for (const char* p = value; p < valueEnd && *p >= '0' && *p <= '9' && bodyLength < (1u << 30); ++p) {
            bodyLength = bodyLength * 10 + static_cast<size_t>(*p - '0');
            sized = true;
        }
    }
    if (sized) {
        const size_t total = headerLength + bodyLength;
        if (have >= total) {
            r.complete = true;
            r.length = total;
        } else if (have >= capacity) {
            // The body does not fit: keep its start, read past the rest to stay in step.
            r.complete = true;
            r.length = have;
            r.drain = total - have;
        }
        return r;
    }
    // Without a length the text after the blank line belongs to the reply unless it is the start
    // of an interleaved frame.
    r.complete = true;
    r.length = have > headerLength && buffer[headerLength] == '$' ? headerLength : have;
    return r;
}

bool ParseDigestChallenge(const char* reply, size_t length, char* realm, size_t realmSize, char* nonce,
                          size_t nonceSize) {
    const char* end = reply + length;
    const char* valueEnd = nullptr;
    for (const char* from = nullptr;; from = NextLine(valueEnd, end)) {
        const char* value = FindHeader(reply, end, "WWW-Authenticate", from, &valueEnd);
        if (!value) return false;
        if (!StartsWithNoCase(value, valueEnd, "Digest") || value + 6 >= valueEnd ||
            (value[6] != ' ' && value[6] != '\t'))
            continue;
        if (QuotedParameter(value + 6, valueEnd, "realm", realm, realmSize) &&
            QuotedParameter(value + 6, valueEnd, "nonce", nonce, nonceSize))
            return true;
    }
}

void ParseSessionHeader(const char* reply, size_t length, char* id, size_t idSize, int defaultTimeoutSec,
                        int* timeoutSec) {
    const char* end = reply + length;
    const char* valueEnd = nullptr;
    const char* value = FindHeader(reply, end, "Session", nullptr, &valueEnd);
    *timeoutSec = defaultTimeoutSec;
    if (idSize > 0) id[0] = '\0';
    if (!value || idSize == 0) return;
    size_t n = 0;
    while (value + n < valueEnd && value[n] != ';' && value[n] != ' ' && value[n] != '\t' && n + 1 < idSize) {
        id[n] = value[n];
        ++n;
    }
    id[n] = '\0';
    for (const char* t = value + n; t < valueEnd; ++t) {
        if (*t != ';') continue;
        const char* s = SkipBlanks(t + 1, valueEnd);
        if (!StartsWithNoCase(s, valueEnd, "timeout=")) continue;
        int v = 0;
        const char* d = s + 8;
        while (d < valueEnd && *d >= '0' && *d <= '9' && v < 1000000) v = v * 10 + (*d++ - '0');
        if (v > 0 && v < 1000000) *timeoutSec = v;
    }
}

}  // namespace kavro
