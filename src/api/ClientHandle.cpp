#include "api/ClientHandle.h"

#include <cstring>
#include <new>
#include <type_traits>

#include "api/Library.h"

namespace kavro {

namespace {

static_assert(std::is_trivially_destructible<ClientHandle>::value,
              "Reset re-constructs the handle in place and relies on a no-op destructor");

// Every number 0, every text empty, every pointer none: the defaults of the struct.
void Reset(ClientHandle* h) {
    h->~ClientHandle();
    new (h) ClientHandle();
}

// Copies a text field of at most n bytes that the host may not have terminated; always
// terminates dst, which has room for n bytes. Returns the length copied.
template <size_t N>
size_t CopyText(char (&dst)[N], const char* src, size_t srcSize) {
    size_t len = 0;
    while (len < srcSize && len + 1 < N && src[len] != '\0') {
        dst[len] = src[len];
        ++len;
    }
    dst[len] = '\0';
    return len;
}

size_t BoundedLength(const char* s, size_t max) {
    const void* end = std::memchr(s, '\0', max);
    return end ? static_cast<size_t>(static_cast<const char*>(end) - s) : max;
}

}  // namespace

bool InitLiveClient(ClientHandle* h, const KAVRO_CLIENT_RECORD* record) {
    if (!h) return false;
    Reset(h);
    if (!record) return false;

    h->transport = record->transport;
    h->viewOn = record->viewOn;
    h->channel = record->channel;
    h->videoWnd = record->videoWnd;
    h->notifyWnd = record->notifyWnd;
    h->notifyMsg = record->notifyMsg;
    h->userData = record->userData;
    CopyText(h->address, record->address, sizeof(record->address));
    CopyText(h->userName, record->userName, sizeof(record->userName));
    CopyText(h->password, record->password, sizeof(record->password));

    h->state = 1;
    h->showMdRegion = 2;
    h->videoWidth = 720;
    h->videoHeight = 576;
    h->fps = 25;
    h->streamBitRate = 512;
    h->audioOn = 0;

    const char* address = h->address;
    const char* colon = std::strchr(address, ':');
    const size_t hostLen = colon ? static_cast<size_t>(colon - address) : std::strlen(address);
    CopyText(h->host, address, hostLen);

    uint16_t port = 554;
    if (colon) {
        // Leading digits only, so "554/live" gives 554; kept modulo 2^16 as it is read, which is
        // the 16-bit truncation of the number without ever overflowing.
        port = 0;
        for (const char* p = colon + 1; *p >= '0' && *p <= '9'; ++p) {
            port = static_cast<uint16_t>(port * 10u + static_cast<unsigned>(*p - '0'));
        }
    }
    h->port = port;
    h->controlPort = port;
    h->fullUrl = (colon && std::strchr(address, '/')) ? 1 : 0;

    // A cut-off host name would connect (and authenticate) to some other machine, or none.
    return hostLen < sizeof(h->host);
}

bool InitFileClient(ClientHandle* h, const char* path, uint32_t window) {
    if (!h) return false;
    Reset(h);
    size_t pathLen = 0;
    if (path) {
        pathLen = BoundedLength(path, sizeof(h->filePath));
        CopyText(h->filePath, path, pathLen);
    }
    h->isFile = 1;
    h->viewOn = 1;
    h->audioOn = 1;
    h->videoWnd = window;
    h->audioPlayerClosed = 0;
    h->videoWidth = 1280;
    h->videoHeight = 1080;
    h->fps = 30;
    h->streamBitRate = 2048;
    // A shortened path would name a different file.
    return path != nullptr && pathLen < sizeof(h->filePath);
}

}  // namespace kavro
