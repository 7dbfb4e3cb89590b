#include "platform/Socket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstring>

namespace kavro {

bool ResolveIPv4(const char* host, in_addr* out) {
    if (!host || !*host || !out) return false;
    if (inet_pton(AF_INET, host, out) == 1) return true;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &res) != 0 || !res) return false;
    bool ok = false;
    for (addrinfo* p = res; p; p = p->ai_next) {
        if (p->ai_family == AF_INET && p->ai_addrlen >= sizeof(sockaddr_in)) {
            *out = reinterpret_cast<sockaddr_in*>(p->ai_addr)->sin_addr;
            ok = true;
            break;
        }
    }
    freeaddrinfo(res);
    return ok;
}

bool Socket::OpenTcp() {
    Close();
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    fd_ = fd;
    return fd >= 0;
}

bool Socket::OpenUdp() {
    Close();
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    fd_ = fd;
    return fd >= 0;
}

bool Socket::Connect(const in_addr& addr, uint16_t port, uint32_t timeoutMs) {
    int fd = fd_.load();
    if (fd < 0) return false;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr = addr;
    sa.sin_port = htons(port);
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return false;
    int rc = ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    bool ok = rc == 0;
    if (!ok && errno == EINPROGRESS) {
        pollfd p{fd, POLLOUT, 0};
        int pr;
        do {
            pr = ::poll(&p, 1, static_cast<int>(timeoutMs > 0x7FFFFFFF ? 0x7FFFFFFF : timeoutMs));
        } while (pr < 0 && errno == EINTR);
        if (pr == 1) {
            int err = 0;
            socklen_t len = sizeof err;
            ok = getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
        }
    }
    fcntl(fd, F_SETFL, flags);
    return ok;
}

bool Socket::Bind(uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_ANY);
    sa.sin_port = htons(port);
    return ::bind(fd_.load(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
}

static bool SetTimeout(int fd, int opt, uint32_t ms) {
    timeval tv{};
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    return setsockopt(fd, SOL_SOCKET, opt, &tv, sizeof tv) == 0;
}

bool Socket::SetRecvTimeout(uint32_t ms) { return SetTimeout(fd_.load(), SO_RCVTIMEO, ms); }
bool Socket::SetSendTimeout(uint32_t ms) { return SetTimeout(fd_.load(), SO_SNDTIMEO, ms); }

bool Socket::SetRecvBuffer(int bytes) {
    return setsockopt(fd_.load(), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) == 0;
}

bool Socket::SetSendBuffer(int bytes) {
    return setsockopt(fd_.load(), SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes) == 0;
}

bool Socket::SetNoDelay() {
    int one = 1;
    return setsockopt(fd_.load(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) == 0;
}

bool Socket::SetReuseAddr() {
    int one = 1;
    return setsockopt(fd_.load(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0;
}

uint16_t Socket::LocalPort() const {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (getsockname(fd_.load(), reinterpret_cast<sockaddr*>(&sa), &len) != 0) return 0;
    return ntohs(sa.sin_port);
}

int Socket::Send(const void* data, size_t len) {
    ssize_t n;
    do {
        n = ::send(fd_.load(), data, len, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return static_cast<int>(n);
}

int Socket::SendAll(const void* data, size_t len) {
    const char* p = static_cast<const char*>(data);
    size_t left = len;
    while (left > 0) {
        int n = Send(p, left);
        if (n <= 0) return -1;
        p += n;
        left -= static_cast<size_t>(n);
    }
    return static_cast<int>(len);
}

int Socket::Recv(void* buf, size_t len) {
    ssize_t n;
    do {
        n = ::recv(fd_.load(), buf, len, 0);
    } while (n < 0 && errno == EINTR);
    return static_cast<int>(n);
}

int Socket::SendTo(const void* data, size_t len, const in_addr& addr, uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr = addr;
    sa.sin_port = htons(port);
    return static_cast<int>(
        ::sendto(fd_.load(), data, len, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&sa), sizeof sa));
}

int Socket::RecvFrom(void* buf, size_t len, in_addr* fromAddr, uint16_t* fromPort) {
    sockaddr_in sa{};
    socklen_t sl = sizeof sa;
    ssize_t n;
    do {
        n = ::recvfrom(fd_.load(), buf, len, 0, reinterpret_cast<sockaddr*>(&sa), &sl);
    } while (n < 0 && errno == EINTR);
    if (n >= 0) {
        if (fromAddr) *fromAddr = sa.sin_addr;
        if (fromPort) *fromPort = ntohs(sa.sin_port);
    }
    return static_cast<int>(n);
}

int Socket::WaitReadable(uint32_t timeoutMs) {
    int fd = fd_.load();
    if (fd < 0) return -1;
    pollfd p{fd, POLLIN, 0};
    int pr;
    do {
        pr = ::poll(&p, 1, static_cast<int>(timeoutMs > 0x7FFFFFFF ? 0x7FFFFFFF : timeoutMs));
    } while (pr < 0 && errno == EINTR);
    if (pr < 0) return -1;
    if (pr == 0) return 0;
    return (p.revents & (POLLIN | POLLHUP)) ? 1 : -1;
}

void Socket::Shutdown() {
    int fd = fd_.load();
    if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

void Socket::Close() {
    int fd = fd_.exchange(-1);
    if (fd >= 0) {
        ::shutdown(fd, SHUT_RDWR);
        ::close(fd);
    }
}

}  // namespace kavro
