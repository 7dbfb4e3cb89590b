#include "record/MakeParentDirs.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

namespace kavro {

namespace {

bool IsDirectory(const std::string& p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool Exists(const std::string& p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0;
}

}  // namespace

bool MakeParentDirs(const char* path) {
    if (path == nullptr || path[0] == '\0') return false;
    std::string full(path);
    char sep;
    if (full.find('/') != std::string::npos) {
        sep = '/';
    } else if (full.find('\\') != std::string::npos) {
        sep = '\\';
    } else {
        return false;
    }
    std::string folder = full.substr(0, full.rfind(sep));
    if (Exists(folder)) return IsDirectory(folder);

    // Prefixes ending just before each separator inside the folder, then the folder itself;
    // the first one is skipped.
    bool first = true;
    for (size_t pos = 0;; ++pos) {
        size_t next = folder.find(sep, pos);
        std::string prefix = next == std::string::npos ? folder : folder.substr(0, next);
        if (first) {
            first = false;
        } else if (!IsDirectory(prefix) && mkdir(prefix.c_str(), 0777) != 0) {
            return false;
        }
        if (next == std::string::npos) break;
        pos = next;
    }
    return IsDirectory(folder);
}

}  // namespace kavro
