#include "source/Digest.h"

#include <cstring>

#include "source/Md5.h"

namespace kavro {

namespace {

void HexOfJoined(const char* const* parts, int count, char out[33]) {
    Md5 md5;
    for (int i = 0; i < count; ++i) {
        if (i > 0) md5.Update(":", 1);
        md5.Update(parts[i], std::strlen(parts[i]));
    }
    uint8_t digest[16];
    md5.Final(digest);
    Md5ToHex(digest, out);
}

}  // namespace

char* DigestResponse(const char* userName, const char* realm, const char* password, char* out,
                     const char* nonce, const char* method, const char* uri) {
    if (!userName || !realm || !password || !out || !nonce || !method || !uri) return nullptr;
    char ha1[33];
    char ha2[33];
    char response[33];
    const char* first[] = {userName, realm, password};
    HexOfJoined(first, 3, ha1);
    const char* second[] = {method, uri};
    HexOfJoined(second, 2, ha2);
    const char* third[] = {ha1, nonce, ha2};
    HexOfJoined(third, 3, response);
    std::memcpy(out, response, sizeof response);
    return out;
}

}  // namespace kavro
