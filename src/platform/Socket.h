#pragma once
#include <netinet/in.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace kavro {

// IPv4 address of a host name or dotted address (getaddrinfo, thread-safe). false when unknown.
bool ResolveIPv4(const char* host, in_addr* out);

// An owned socket descriptor. Shutdown() may be called from another thread to wake a
// blocked receive; Close() belongs to the owning thread.
class Socket {
public:
    Socket() = default;
    ~Socket() { Close(); }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    bool OpenTcp();
    bool OpenUdp();
    bool IsOpen() const { return fd_.load() >= 0; }
    int Fd() const { return fd_.load(); }

    // Non-blocking connect that waits at most timeoutMs for the connection; the socket is
    // blocking again afterwards. false on refusal, time-out or error.
    bool Connect(const in_addr& addr, uint16_t port, uint32_t timeoutMs);
    bool Bind(uint16_t port);  // INADDR_ANY
    bool SetRecvTimeout(uint32_t ms);
    bool SetSendTimeout(uint32_t ms);
    bool SetRecvBuffer(int bytes);
    bool SetSendBuffer(int bytes);
    bool SetNoDelay();  // TCP_NODELAY on
    bool SetReuseAddr();
    uint16_t LocalPort() const;

    // Results as send/recv: bytes, 0 on orderly close (recv), -1 on error or time-out.
    int Send(const void* data, size_t len);
    int SendAll(const void* data, size_t len);  // loops over partial sends
    int Recv(void* buf, size_t len);
    int SendTo(const void* data, size_t len, const in_addr& addr, uint16_t port);
    int RecvFrom(void* buf, size_t len, in_addr* fromAddr = nullptr, uint16_t* fromPort = nullptr);
    // Waits up to timeoutMs for readable data: 1 readable, 0 time-out, -1 error/closed.
    int WaitReadable(uint32_t timeoutMs);

    void Shutdown();
    void Close();

private:
    std::atomic<int> fd_{-1};
};

}  // namespace kavro
