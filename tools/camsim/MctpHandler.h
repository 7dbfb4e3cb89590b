#pragma once
#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ProtocolHandler.h"

namespace kavro::camsim {

class MctpEvents;

// Settings the camera keeps between command connections, per channel (0..255).
class MctpSettings {
public:
    struct Region {
        int enable = 0;
        int32_t rect[4] = {0, 0, 0, 0};  // left, top, right, bottom
    };
    using Regions = std::array<Region, 16>;

    MctpSettings();
    void SetVideo(int channel, int x, int y, int z);
    void GetVideo(int channel, int* x, int* y, int* z) const;
    void SetRegions(int channel, const Regions& regions);
    Regions GetRegions(int channel) const;
    void SetMotionRunning(int channel, bool running);

private:
    mutable std::mutex mutex_;
    struct Channel {
        int video[3] = {128, 128, 128};
        Regions regions;
        bool motionRunning = false;
    };
    std::array<Channel, 256> channels_;
};

// Text escaped for one log line: LF as \n, CR as \r, tab as \t, backslash doubled, other
// control and non-ASCII bytes as \xHH.
std::string EscapeBytes(const std::string& bytes);

// Numbers of a "@a@b@c" line (a trailing '@' allowed). false when a field is not a number.
bool ParseAtValues(const std::string& line, std::vector<long>* out);

// The camera's line protocol: one request per "CMD:..." block ending in an "END" line. Command
// connections carry one request each; an event registration keeps its connection for pushed
// events; a talk request turns the connection into the talk stream.
class MctpHandler : public ProtocolHandler {
public:
    MctpHandler(const ServerContext& context, MctpSettings* settings, MctpEvents* events);
    void Serve(const std::shared_ptr<Connection>& connection, std::string received) override;

    static bool IsMctpLine(const std::string& firstLine);

    // Reply text for one complete request (empty: no reply). Sets *talk for a talk request and
    // *registerChannel (>= 0) for an event registration. Public for the simulator's own use.
    std::string Answer(const std::string& request, bool* talk, int* registerChannel);

private:
    ServerContext context_;
    MctpSettings* settings_;
    MctpEvents* events_;
};

}  // namespace kavro::camsim
