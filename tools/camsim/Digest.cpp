#include "Digest.h"

extern "C" {
#include <libavutil/md5.h>
}

#include <cctype>
#include <cstdint>

namespace kavro::camsim {

std::string Md5Hex(const std::string& text) {
    uint8_t d[16];
    av_md5_sum(d, reinterpret_cast<const uint8_t*>(text.data()), static_cast<size_t>(text.size()));
    static const char k[] = "0123456789abcdef";
    std::string s;
    for (uint8_t b : d) {
        s += k[b >> 4];
        s += k[b & 15];
    }
    return s;
}

std::string DigestResponse(const std::string& user, const std::string& realm, const std::string& password,
                           const std::string& nonce, const std::string& method, const std::string& uri) {
    return Md5Hex(Md5Hex(user + ":" + realm + ":" + password) + ":" + nonce + ":" +
                  Md5Hex(method + ":" + uri));
}

bool AuthParam(const std::string& h, const std::string& name, std::string* value) {
    size_t i = 0;
    while (i < h.size()) {
        while (i < h.size() && (h[i] == ' ' || h[i] == ',' || h[i] == '\t')) ++i;
        size_t keyStart = i;
        while (i < h.size() && h[i] != '=' && h[i] != ',' && h[i] != ' ') ++i;
        std::string key = h.substr(keyStart, i - keyStart);
        while (i < h.size() && h[i] == ' ') ++i;
        if (i >= h.size() || h[i] != '=') continue;  // the scheme word, or a bare token
        ++i;
        while (i < h.size() && h[i] == ' ') ++i;
        std::string v;
        if (i < h.size() && h[i] == '"') {
            ++i;
            while (i < h.size() && h[i] != '"') {
                if (h[i] == '\\' && i + 1 < h.size()) ++i;
                v += h[i++];
            }
            ++i;
        } else {
            while (i < h.size() && h[i] != ',' && h[i] != ' ') v += h[i++];
        }
        bool same = key.size() == name.size();
        for (size_t k = 0; same && k < key.size(); ++k)
            same = std::tolower(static_cast<unsigned char>(key[k])) ==
                   std::tolower(static_cast<unsigned char>(name[k]));
        if (same) {
            *value = v;
            return true;
        }
    }
    return false;
}

}  // namespace kavro::camsim
