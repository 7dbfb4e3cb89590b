#include "support/control_loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace kavro_test {

namespace {
int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
}  // namespace

ControlPeer::~ControlPeer() { Close(); }

void ControlPeer::Close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

int ControlPeer::Fill(int timeoutMs) {
    if (fd_ < 0 || closed_) return -1;
    pollfd p{fd_, POLLIN, 0};
    int pr = ::poll(&p, 1, timeoutMs < 0 ? 0 : timeoutMs);
    if (pr <= 0) return 0;
    char buf[4096];
    ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) {
        closed_ = true;
        return -1;
    }
    held_.append(buf, static_cast<size_t>(n));
    return static_cast<int>(n);
}

std::string ControlPeer::ReadUntil(const std::string& needle, int timeoutMs) {
    int64_t deadline = NowMs() + timeoutMs;
    for (;;) {
        size_t at = held_.find(needle);
        if (at != std::string::npos) {
            std::string out = held_.substr(0, at + needle.size());
            held_.erase(0, at + needle.size());
            return out;
        }
        int64_t left = deadline - NowMs();
        if (left <= 0 || Fill(static_cast<int>(left)) < 0) break;
    }
    std::string out;
    out.swap(held_);
    return out;
}

std::string ControlPeer::ReadFor(int timeoutMs) {
    int64_t deadline = NowMs() + timeoutMs;
    for (int64_t left; (left = deadline - NowMs()) > 0;)
        if (Fill(static_cast<int>(left)) < 0) break;
    std::string out;
    out.swap(held_);
    return out;
}

bool ControlPeer::WaitClosed(int timeoutMs) {
    int64_t deadline = NowMs() + timeoutMs;
    for (int64_t left; !closed_ && (left = deadline - NowMs()) > 0;) Fill(static_cast<int>(left));
    return closed_;
}

bool ControlPeer::Send(const std::string& data) {
    return fd_ >= 0 &&
           ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(data.size());
}

ControlListener::ControlListener(int backlog) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd_, backlog) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
        ::close(fd_);
        fd_ = -1;
        return;
    }
    port_ = ntohs(sa.sin_port);
}

ControlListener::~ControlListener() {
    if (fd_ >= 0) ::close(fd_);
}

std::unique_ptr<ControlPeer> ControlListener::Accept(int timeoutMs) {
    if (fd_ < 0) return nullptr;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) != 1) return nullptr;
    int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) return nullptr;
    return std::make_unique<ControlPeer>(c);
}

ControlOneShotCamera::ControlOneShotCamera(Mode mode, std::string reply, int holdLimitMs)
    : mode_(mode), reply_(std::move(reply)), holdLimitMs_(holdLimitMs) {
    thread_ = std::thread([this] {
        std::unique_ptr<ControlPeer> peer = listener_.Accept(8000);
        if (!peer) return;
        request_ = peer->ReadUntil("END\n", 8000);
        switch (mode_) {
            case Mode::kReply:
                peer->Send(reply_);
                break;
            case Mode::kClose:
                break;
            case Mode::kHold:
                peer->WaitClosed(holdLimitMs_);
                break;
            case Mode::kSplitReply: {
                size_t half = reply_.size() / 2;
                peer->Send(reply_.substr(0, half));
                std::this_thread::sleep_for(std::chrono::milliseconds(150));
                peer->Send(reply_.substr(half));
                break;
            }
        }
        // Let the client take the reply before the connection goes.
        peer->WaitClosed(mode_ == Mode::kClose ? 0 : 2000);
    });
}

ControlOneShotCamera::~ControlOneShotCamera() {
    if (thread_.joinable()) thread_.join();
}

std::string ControlOneShotCamera::Request() {
    if (thread_.joinable()) thread_.join();
    return request_;
}

}  // namespace kavro_test
