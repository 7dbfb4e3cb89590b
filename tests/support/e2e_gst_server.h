#pragma once
// Test support: GStreamer's RTSP server on loopback (python3 + GstRtspServer) as a child process.
// It serves /live: H.264 (pay0, x264enc tune=zerolatency) and A-law (pay1, a sine tone), with a
// session timeout of the caller's choosing and expired sessions swept every second. With a digest
// user it asks for Digest authentication.
#include <sys/types.h>

#include <cstdint>
#include <string>

namespace kavro::test {

struct GstServerOptions {
    int fps = 25;
    int bitrateKbps = 512;
    int toneHz = 700;
    int sessionTimeoutSec = 60;
    std::string digestUser;  // empty: no authentication
    std::string digestPassword;
};

class GstRtspServerProcess {
public:
    explicit GstRtspServerProcess(const GstServerOptions& options = {});
    ~GstRtspServerProcess();
    GstRtspServerProcess(const GstRtspServerProcess&) = delete;
    GstRtspServerProcess& operator=(const GstRtspServerProcess&) = delete;

    // Set when python3 or a GStreamer piece is missing: the caller should skip.
    const std::string& SkipReason() const { return skipReason_; }
    // Set when the server should have started and did not.
    const std::string& Error() const { return error_; }
    uint16_t Port() const { return port_; }

private:
    pid_t pid_ = -1;
    int stdin_ = -1;
    int stdout_ = -1;
    uint16_t port_ = 0;
    std::string skipReason_;
    std::string error_;
};

}  // namespace kavro::test
