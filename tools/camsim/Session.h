#pragma once
#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "Connection.h"

namespace kavro::camsim {

// Where and how one track of a session goes.
struct TrackState {
    bool setUp = false;
    bool tcp = false;
    uint8_t channel = 0;  // interleaved RTP channel (TCP)
    sockaddr_in dest{};   // client RTP address (UDP)
    uint32_t ssrc = 0;
    uint16_t firstSeq = 0;
    uint32_t firstTimestamp = 0;
    // Written by the media thread only, once playing.
    uint16_t seq = 0;
    int64_t nextIndex = 0;  // next frame (video) or packet (audio) to send
};

// One RTSP session. The RTSP thread fills it before PLAY; after PLAY only the media thread
// touches the play state.
struct Session {
    std::string id;
    std::shared_ptr<Connection> connection;
    TrackState video;
    TrackState audio;
    bool playing = false;
    std::chrono::steady_clock::time_point playStart;
    bool videoStopped = false;
};

}  // namespace kavro::camsim
