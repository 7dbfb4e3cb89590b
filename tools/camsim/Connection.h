#pragma once
#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

namespace kavro::camsim {

// One accepted TCP connection. Reading belongs to the connection's own thread; sending may come
// from any thread and never blocks: what the socket cannot take at once waits in a queue that
// the reader's loop and the media thread flush, so a slow client stalls nobody else.
class Connection {
public:
    Connection(int fd, const sockaddr_in& peer, uint64_t id);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    uint64_t Id() const { return id_; }
    const sockaddr_in& Peer() const { return peer_; }
    in_addr LocalAddress() const;
    std::chrono::steady_clock::time_point Accepted() const { return accepted_; }

    // Receives what is available, waiting at most timeoutMs (and flushing queued output
    // meanwhile). Returns bytes read, 0 on time-out, -1 when the connection is over.
    int Read(char* buf, size_t cap, int timeoutMs);

    // Queues bytes for the peer. A droppable message (media) is discarded whole when the
    // peer already lags by more than the queue limit; a reply is always kept, and a peer
    // that lets replies pile up beyond the hard limit is cut off. false once broken.
    bool Send(const void* data, size_t len, bool droppable);
    void Flush();
    // Waits up to timeoutMs for queued output to leave (before an orderly close).
    void Drain(int timeoutMs);

    // Ends the connection from any thread; a blocked Read returns -1.
    void Shutdown();
    bool Broken() const { return broken_.load(); }

private:
    void FlushLocked();

    const int fd_;
    const sockaddr_in peer_;
    const uint64_t id_;
    const std::chrono::steady_clock::time_point accepted_;
    std::mutex sendMutex_;
    std::string queue_;
    std::atomic<bool> broken_{false};
};

}  // namespace kavro::camsim
