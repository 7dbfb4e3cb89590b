#pragma once
#include <string>

namespace kavro::camsim {

// Lower-case hex MD5 of a text.
std::string Md5Hex(const std::string& text);

// Digest response without quality of protection (RFC 2069):
// MD5(MD5(user:realm:password):nonce:MD5(method:uri)).
std::string DigestResponse(const std::string& user, const std::string& realm, const std::string& password,
                           const std::string& nonce, const std::string& method, const std::string& uri);

// Value of one parameter of an Authorization or WWW-Authenticate header value (quoted or token);
// false when absent.
bool AuthParam(const std::string& header, const std::string& name, std::string* value);

}  // namespace kavro::camsim
