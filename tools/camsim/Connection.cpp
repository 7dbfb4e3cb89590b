#include "Connection.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace kavro::camsim {
namespace {
constexpr size_t kMediaQueueLimit = 512 * 1024;
constexpr size_t kHardQueueLimit = 4 * 1024 * 1024;
}  // namespace

Connection::Connection(int fd, const sockaddr_in& peer, uint64_t id)
    : fd_(fd), peer_(peer), id_(id), accepted_(std::chrono::steady_clock::now()) {}

Connection::~Connection() { ::close(fd_); }

in_addr Connection::LocalAddress() const {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a.sin_addr;
}

int Connection::Read(char* buf, size_t cap, int timeoutMs) {
    if (broken_.load()) return -1;
    pollfd p{fd_, POLLIN, 0};
    {
        std::lock_guard<std::mutex> lock(sendMutex_);
        FlushLocked();
        if (!queue_.empty()) p.events |= POLLOUT;
    }
    // Short slices while output waits, so it drains without a writer thread.
    int wait = (p.events & POLLOUT) ? std::min(timeoutMs, 20) : timeoutMs;
    int r = ::poll(&p, 1, wait);
    if (r < 0) return errno == EINTR ? 0 : -1;
    if (r == 0) return 0;
    if (p.revents & POLLOUT) Flush();
    if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
        ssize_t n = ::recv(fd_, buf, cap, 0);
        if (n > 0) return static_cast<int>(n);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) return 0;
        broken_.store(true);
        return -1;
    }
    return broken_.load() ? -1 : 0;
}

bool Connection::Send(const void* data, size_t len, bool droppable) {
    std::lock_guard<std::mutex> lock(sendMutex_);
    if (broken_.load()) return false;
    FlushLocked();
    if (droppable && queue_.size() > kMediaQueueLimit) return true;
    if (queue_.size() + len > kHardQueueLimit) {
        broken_.store(true);
        ::shutdown(fd_, SHUT_RDWR);
        return false;
    }
    queue_.append(static_cast<const char*>(data), len);
    FlushLocked();
    return !broken_.load();
}

void Connection::Flush() {
    std::lock_guard<std::mutex> lock(sendMutex_);
    FlushLocked();
}

void Connection::Drain(int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(sendMutex_);
            FlushLocked();
            if (queue_.empty() || broken_.load()) return;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) return;
        pollfd p{fd_, POLLOUT, 0};
        if (::poll(&p, 1, static_cast<int>(std::min<int64_t>(left.count(), 50))) < 0 && errno != EINTR)
            return;
    }
}

void Connection::FlushLocked() {
    while (!queue_.empty() && !broken_.load()) {
        ssize_t n = ::send(fd_, queue_.data(), queue_.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            queue_.erase(0, static_cast<size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return;
        } else {
            broken_.store(true);
            queue_.clear();
        }
    }
}

void Connection::Shutdown() {
    broken_.store(true);
    ::shutdown(fd_, SHUT_RDWR);
}

}  // namespace kavro::camsim
