#include "Server.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>

#include "Options.h"
#include "RequestLog.h"

namespace kavro::camsim {
namespace {
constexpr size_t kFirstLineLimit = 4096;
constexpr int kFirstLineTimeoutMs = 10000;
}  // namespace

Server::Server(const ServerContext& context) : context_(context) {}

Server::~Server() {
    Reap(true);
    if (listenFd_ >= 0) ::close(listenFd_);
}

void Server::AddRoute(ProtocolRoute route) { routes_.push_back(std::move(route)); }

bool Server::Listen(uint16_t port) {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0) return false;
    int one = 1;
    setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    a.sin_port = htons(port);
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listenFd_, 64) != 0) {
        std::perror("camsim: listen");
        return false;
    }
    socklen_t len = sizeof a;
    getsockname(listenFd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    return true;
}

void Server::Run(const std::atomic<bool>& stop) {
    const Options& o = *context_.options;
    while (!stop.load()) {
        pollfd p{listenFd_, POLLIN, 0};
        int r = ::poll(&p, 1, 50);
        const auto now = std::chrono::steady_clock::now();
        if (o.closeAfterSec >= 0) {
            const auto limit = std::chrono::milliseconds(static_cast<int64_t>(o.closeAfterSec * 1000));
            for (auto& w : workers_)
                if (!w.done.load() && now - w.connection->Accepted() >= limit) w.connection->Shutdown();
        }
        Reap(false);
        if (r <= 0 || !(p.revents & POLLIN)) continue;
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        int fd = ::accept4(listenFd_, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
        if (fd < 0) continue;
        ++accepted_;
        if (accepted_ <= static_cast<uint64_t>(o.refuseFirst)) {
            // Reset rather than an orderly close: the client sees the refusal on its first call.
            linger l{1, 0};
            setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
            ::close(fd);
            continue;
        }
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        workers_.emplace_back();
        Worker* w = &workers_.back();
        w->connection = std::make_shared<Connection>(fd, peer, accepted_);
        w->thread = std::thread([this, w] { Serve(w); });
    }
    Reap(true);
}

void Server::Serve(Worker* w) {
    const auto& conn = w->connection;
    std::string received;
    char buf[2048];
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kFirstLineTimeoutMs);
    size_t eol = std::string::npos;
    while (eol == std::string::npos && received.size() < kFirstLineLimit &&
           std::chrono::steady_clock::now() < deadline) {
        int n = conn->Read(buf, sizeof buf, 100);
        if (n < 0) break;
        received.append(buf, static_cast<size_t>(n));
        eol = received.find('\n');
    }
    if (eol != std::string::npos) {
        std::string first = received.substr(0, eol);
        if (!first.empty() && first.back() == '\r') first.pop_back();
        const ProtocolRoute* route = nullptr;
        for (const auto& r : routes_)
            if (r.accepts(first)) {
                route = &r;
                break;
            }
        if (route) {
            route->create(context_)->Serve(conn, std::move(received));
        } else if (context_.log) {
            context_.log->Write("UNKNOWN " + first);
        }
    }
    conn->Drain(500);
    conn->Shutdown();
    w->done.store(true);
}

void Server::Reap(bool all) {
    for (auto it = workers_.begin(); it != workers_.end();) {
        if (all) it->connection->Shutdown();
        if (all || it->done.load()) {
            if (it->thread.joinable()) it->thread.join();
            it = workers_.erase(it);
        } else {
            ++it;
        }
    }
}

}  // namespace kavro::camsim
