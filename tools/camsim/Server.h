#pragma once
#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "Connection.h"
#include "ProtocolHandler.h"

namespace kavro::camsim {

// Listens on the camera's TCP port, applies the connection-level fault knobs (refusals,
// forced closes) and hands each connection, by its first line, to a protocol handler running
// on a thread of its own.
class Server {
public:
    explicit Server(const ServerContext& context);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    void AddRoute(ProtocolRoute route);
    bool Listen(uint16_t port);  // 0 = any free port
    uint16_t Port() const { return port_; }
    // Accepts until `stop` becomes true; then ends every connection and joins its thread.
    void Run(const std::atomic<bool>& stop);

private:
    struct Worker {
        std::shared_ptr<Connection> connection;
        std::thread thread;
        std::atomic<bool> done{false};
    };
    void Serve(Worker* w);
    void Reap(bool all);

    ServerContext context_;
    std::vector<ProtocolRoute> routes_;
    int listenFd_ = -1;
    uint16_t port_ = 0;
    uint64_t accepted_ = 0;
    std::list<Worker> workers_;
};

}  // namespace kavro::camsim
