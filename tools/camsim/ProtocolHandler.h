#pragma once
#include <functional>
#include <memory>
#include <string>

#include "Connection.h"

namespace kavro::camsim {

class MediaCache;
class RequestLog;
class Streamer;
struct Options;

// What every protocol handler may use; owned by main and alive while connections run.
struct ServerContext {
    const Options* options = nullptr;
    const MediaCache* media = nullptr;
    Streamer* streamer = nullptr;
    RequestLog* log = nullptr;
    uint16_t udpPort = 0;  // local port the RTP over UDP leaves from
};

// Serves one connection of one protocol until the connection ends. Every protocol of the camera
// shares the one TCP port; the server picks the handler by the connection's first line.
class ProtocolHandler {
public:
    virtual ~ProtocolHandler() = default;
    // `received` holds what was read before the handler was chosen (at least the first line).
    virtual void Serve(const std::shared_ptr<Connection>& connection, std::string received) = 0;
};

struct ProtocolRoute {
    std::string name;
    // Decides on the first line (without its line end).
    std::function<bool(const std::string& firstLine)> accepts;
    std::function<std::unique_ptr<ProtocolHandler>(const ServerContext&)> create;
};

}  // namespace kavro::camsim
