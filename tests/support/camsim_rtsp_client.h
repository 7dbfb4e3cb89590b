#pragma once
// Test support: a bare RTSP/RTP client for talking to the camera simulator (or any RTSP server)
// byte by byte, with every wait bounded.
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/Socket.h"

namespace kavro::test {

struct RtpPacket {
    uint8_t payloadType = 0;
    bool marker = false;
    uint16_t seq = 0;
    uint32_t timestamp = 0;
    uint32_t ssrc = 0;
    std::vector<uint8_t> payload;
};

// Parses a version-2 RTP packet (CSRCs, extension and padding honoured); false when malformed.
bool ParseRtp(const uint8_t* data, size_t len, RtpPacket* out);

class RtspTestClient {
public:
    // Connects to 127.0.0.1; recvBufferBytes > 0 sets SO_RCVBUF before connecting, which also
    // bounds the TCP window (to play a client that reads slowly).
    bool Connect(uint16_t port, uint32_t timeoutMs = 2000, int recvBufferBytes = 0);
    bool SendText(const std::string& text);
    // Reads one reply: the header block up to the blank line and a Content-Length body.
    // Interleaved frames in front of it are skipped.
    bool ReadReply(std::string* reply, int timeoutMs = 3000);
    bool Exchange(const std::string& request, std::string* reply, int timeoutMs = 3000);
    // Reads the next interleaved frame ('$', channel, 16-bit length, data); text in front of it
    // (a late reply) is skipped.
    bool ReadFrame(uint8_t* channel, std::vector<uint8_t>* data, int timeoutMs = 3000);
    // True when the peer ends the connection within timeoutMs (whatever it still sends is dropped).
    bool WaitClosed(int timeoutMs);
    kavro::Socket& Sock() { return sock_; }

private:
    using Clock = std::chrono::steady_clock;
    // Reads more into buffer_; false on time-out or end of connection.
    bool Fill(Clock::time_point deadline);

    kavro::Socket sock_;
    std::string buffer_;
    bool closed_ = false;
};

}  // namespace kavro::test
