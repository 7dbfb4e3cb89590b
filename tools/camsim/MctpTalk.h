#pragma once
#include <memory>
#include <string>

#include "Connection.h"

namespace kavro::camsim {

class RequestLog;
struct Options;

// Talk stream after an accepted talk request. The PC sends frames of an 8-byte head
// (little-endian length L, sender tick) and L bytes of G.726 32 kbit/s voice frame; they are
// checked, decoded, counted and optionally appended as PCM to a file. In two-way mode the camera
// sends a tone back as bare voice frames, one every 40 ms.
class MctpTalk {
public:
    MctpTalk(const Options& options, RequestLog* log);
    // Serves until the peer closes, the server stops or the drop limit is reached. `pending`
    // holds bytes that arrived behind the talk request.
    void Run(const std::shared_ptr<Connection>& connection, std::string pending);

private:
    const Options& options_;
    RequestLog* log_;
};

}  // namespace kavro::camsim
