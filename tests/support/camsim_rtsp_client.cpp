#include "camsim_rtsp_client.h"

#include <arpa/inet.h>
#include <strings.h>

#include <cstdlib>

namespace kavro::test {

bool ParseRtp(const uint8_t* d, size_t n, RtpPacket* out) {
    if (n < 12 || (d[0] >> 6) != 2) return false;
    size_t off = 12 + 4 * static_cast<size_t>(d[0] & 0x0F);
    if (d[0] & 0x10) {
        if (n < off + 4) return false;
        off += 4 + 4 * ((static_cast<size_t>(d[off + 2]) << 8) | d[off + 3]);
    }
    size_t end = n;
    if (d[0] & 0x20) {
        if (d[n - 1] == 0 || d[n - 1] > n) return false;
        end -= d[n - 1];
    }
    if (off > end) return false;
    out->payloadType = d[1] & 0x7F;
    out->marker = (d[1] & 0x80) != 0;
    out->seq = static_cast<uint16_t>((d[2] << 8) | d[3]);
    out->timestamp = (static_cast<uint32_t>(d[4]) << 24) | (d[5] << 16) | (d[6] << 8) | d[7];
    out->ssrc = (static_cast<uint32_t>(d[8]) << 24) | (d[9] << 16) | (d[10] << 8) | d[11];
    out->payload.assign(d + off, d + end);
    return true;
}

bool RtspTestClient::Connect(uint16_t port, uint32_t timeoutMs, int recvBufferBytes) {
    in_addr a{};
    a.s_addr = htonl(INADDR_LOOPBACK);
    buffer_.clear();
    closed_ = false;
    if (!sock_.OpenTcp()) return false;
    if (recvBufferBytes > 0 && !sock_.SetRecvBuffer(recvBufferBytes)) return false;
    return sock_.Connect(a, port, timeoutMs);
}

bool RtspTestClient::SendText(const std::string& text) {
    return sock_.SendAll(text.data(), text.size()) == static_cast<int>(text.size());
}

bool RtspTestClient::Fill(Clock::time_point deadline) {
    if (closed_) return false;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    int w = sock_.WaitReadable(static_cast<uint32_t>(left));
    if (w <= 0) {
        if (w < 0) closed_ = true;
        return false;
    }
    char buf[16384];
    int n = sock_.Recv(buf, sizeof buf);
    if (n <= 0) {
        closed_ = true;
        return false;
    }
    buffer_.append(buf, static_cast<size_t>(n));
    return true;
}

bool RtspTestClient::ReadReply(std::string* reply, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        while (!buffer_.empty() && buffer_[0] == '$') {
            if (buffer_.size() < 4) break;
            size_t len = (static_cast<size_t>(static_cast<uint8_t>(buffer_[2])) << 8) |
                         static_cast<uint8_t>(buffer_[3]);
            if (buffer_.size() < 4 + len) break;
            buffer_.erase(0, 4 + len);
        }
        if (!buffer_.empty() && buffer_[0] != '$') {
            size_t end = buffer_.find("\r\n\r\n");
            if (end != std::string::npos) {
                size_t body = 0;
                size_t cl = buffer_.find("\nContent-Length:");
                if (cl != std::string::npos && cl < end)
                    body = std::strtoul(buffer_.c_str() + cl + 16, nullptr, 10);
                if (buffer_.size() >= end + 4 + body) {
                    *reply = buffer_.substr(0, end + 4 + body);
                    buffer_.erase(0, end + 4 + body);
                    return true;
                }
            }
        }
        if (!Fill(deadline)) return false;
    }
}

bool RtspTestClient::Exchange(const std::string& request, std::string* reply, int timeoutMs) {
    return SendText(request) && ReadReply(reply, timeoutMs);
}

bool RtspTestClient::ReadFrame(uint8_t* channel, std::vector<uint8_t>* data, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (!buffer_.empty() && buffer_[0] != '$') {
            std::string ignored;
            size_t end = buffer_.find("\r\n\r\n");
            if (end != std::string::npos && ReadReply(&ignored, 0)) continue;
        }
        if (buffer_.size() >= 4 && buffer_[0] == '$') {
            size_t len = (static_cast<size_t>(static_cast<uint8_t>(buffer_[2])) << 8) |
                         static_cast<uint8_t>(buffer_[3]);
            if (buffer_.size() >= 4 + len) {
                *channel = static_cast<uint8_t>(buffer_[1]);
                data->assign(buffer_.begin() + 4, buffer_.begin() + 4 + static_cast<std::ptrdiff_t>(len));
                buffer_.erase(0, 4 + len);
                return true;
            }
        }
        if (!Fill(deadline)) return false;
    }
}

bool RtspTestClient::WaitClosed(int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!closed_) {
        if (!Fill(deadline) && !closed_) return false;
        buffer_.clear();
    }
    return true;
}

}  // namespace kavro::test
