#pragma once
#include <cstddef>

namespace kavro {

// Where an RTSP reply ends in the bytes received so far. A reply is its headers up to the blank
// line plus a Content-Length body; what follows belongs to the stream (interleaved frames).
struct RtspReplyExtent {
    bool complete = false;  // false: more bytes are needed
    size_t length = 0;      // bytes of the reply (complete only)
    size_t drain = 0;       // body bytes beyond `capacity` still to be read and thrown away
};
RtspReplyExtent MeasureRtspReply(const char* buffer, size_t have, size_t capacity);

// The realm and nonce of the first Digest challenge among the WWW-Authenticate headers; each
// cut to fit its buffer. false when there is none with both.
bool ParseDigestChallenge(const char* reply, size_t length, char* realm, size_t realmSize, char* nonce,
                          size_t nonceSize);

// The session identifier (up to ';', a blank or the line end, cut to fit) and its time-out in
// seconds (`defaultTimeoutSec` when absent). An absent header gives an empty identifier.
void ParseSessionHeader(const char* reply, size_t length, char* id, size_t idSize, int defaultTimeoutSec,
                        int* timeoutSec);

// The value of the first header `name` (any case), or nullptr; *valueEnd gets its end.
const char* FindRtspHeader(const char* begin, const char* end, const char* name, const char** valueEnd);

}  // namespace kavro
