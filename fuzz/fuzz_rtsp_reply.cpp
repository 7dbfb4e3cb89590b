// RTSP replies as they arrive: where a reply ends, the Digest challenge and the session header.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "FuzzSupport.h"
#include "source/RtspReply.h"

using namespace kavro;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    const size_t capacity = 16 + in.Byte() * 8;
    // Exactly sized, so any read past the bytes is caught.
    std::vector<char> bytes(in.Rest(), in.Rest() + in.RestSize());
    const size_t have = bytes.size() < capacity ? bytes.size() : capacity;
    const RtspReplyExtent e = MeasureRtspReply(bytes.data(), have, capacity);
    if (e.complete && (e.length > have || (e.drain > 0 && e.length != have))) abort();

    char realm[65], nonce[65];
    if (ParseDigestChallenge(bytes.data(), have, realm, sizeof realm, nonce, sizeof nonce) &&
        (!memchr(realm, 0, sizeof realm) || !memchr(nonce, 0, sizeof nonce)))
        abort();
    char id[32];
    int timeout = 0;
    ParseSessionHeader(bytes.data(), have, id, sizeof id, 60, &timeout);
    if (!memchr(id, 0, sizeof id) || timeout <= 0 || timeout >= 1000000) abort();
    return 0;
}
