#pragma once

namespace kavro {

// Response value of an RFC 2069 style Digest Authorization header:
// MD5(MD5(user:realm:password) ":" nonce ":" MD5(method:uri)), each digest as lower-case hex.
// Writes 33 bytes (never more than 256) into out and returns out; returns nullptr and writes
// nothing when any argument is missing.
char* DigestResponse(const char* userName, const char* realm, const char* password, char* out,
                     const char* nonce, const char* method, const char* uri);

}  // namespace kavro
