#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kavro.h"
#include "support/source_live_client.h"

namespace kavro {
namespace {

using namespace test;
using Clock = std::chrono::steady_clock;

const std::string kSdp =
    "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=Live\r\nc=IN IP4 0.0.0.0\r\nt=0 0\r\n"
    "m=video 0 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\na=control:trackID=1\r\n";

// A plain RTSP server (no camera event channel: such connections are closed at once) with a
// short session time-out. Over TCP it keeps the connection busy with RTCP-channel frames after
// PLAY; every OPTIONS request is counted.
class PlainServer {
public:
    PlainServer() {
        listenFd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof sa;
        if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
            ::listen(listenFd_, 8) != 0 ||
            getsockname(listenFd_, reinterpret_cast<sockaddr*>(&sa), &len) != 0)
            ADD_FAILURE() << "cannot listen";
        port_ = ntohs(sa.sin_port);
        acceptor_ = std::thread([this] { Accept(); });
    }
    ~PlainServer() {
        stop_ = true;
        acceptor_.join();
        for (auto& t : workers_) t.join();
        ::close(listenFd_);
    }
    uint16_t Port() const { return port_; }
    int Options() const { return options_; }
    int Registrations() const { return registrations_; }

private:
    void Accept() {
        while (!stop_) {
            pollfd p{listenFd_, POLLIN, 0};
            if (::poll(&p, 1, 20) != 1) continue;
            int fd = ::accept(listenFd_, nullptr, nullptr);
            if (fd >= 0) workers_.emplace_back([this, fd] { Serve(fd); });
        }
    }

    static std::string CSeq(const std::string& request) {
        size_t p = request.find("CSeq: ");
        return p == std::string::npos ? "0" : request.substr(p + 6, request.find("\r\n", p) - p - 6);
    }

    void Serve(int fd) {
        std::string pending;
        bool playing = false;
        auto lastFrame = Clock::now();
        while (!stop_) {
            if (pending.rfind("CMD:", 0) == 0) {
                ++registrations_;
                break;
            }
            size_t end = pending.find("\r\n\r\n");
            if (end != std::string::npos) {
                std::string request = pending.substr(0, end + 4);
                pending.erase(0, end + 4);
                std::string method = request.substr(0, request.find(' '));
                std::string reply = "RTSP/1.0 200 OK\r\nCSeq: " + CSeq(request) + "\r\n";
                if (method == "DESCRIBE") {
                    reply +=
                        "Content-Type: application/sdp\r\nContent-Length: " + std::to_string(kSdp.size()) +
                        "\r\n\r\n" + kSdp;
                } else {
                    reply += "Session: 4242;timeout=2\r\n\r\n";
                }
                if (method == "OPTIONS" && request.find("Session: 4242\r\n") != std::string::npos) ++options_;
                if (method == "SETUP") tcp_ = request.find("RTP/AVP/TCP") != std::string::npos;
                if (method == "PLAY") playing = true;
                ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
                continue;
            }
            if (playing && tcp_ && Clock::now() - lastFrame > std::chrono::milliseconds(200)) {
                static const char kRtcp[] = {'$', 1, 0, 4, 'a', 'b', 'c', 'd'};
                ::send(fd, kRtcp, 8, MSG_NOSIGNAL);
                lastFrame = Clock::now();
            }
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 50) != 1) continue;
            char buf[2048];
            ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0) break;
            pending.append(buf, static_cast<size_t>(n));
        }
        ::close(fd);
    }

    int listenFd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<bool> tcp_{false};
    std::atomic<int> options_{0};
    std::atomic<int> registrations_{0};
    std::thread acceptor_;
    std::vector<std::thread> workers_;
};

class KeepAlive : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(KAVRO_Startup(0, 0, SourceCollectNotification, 0)); }
    static void TearDownTestSuite() { KAVRO_Cleanup(); }
};

// Without the camera's event channel nothing else would keep the server's session alive.
TEST_F(KeepAlive, SessionIsKeptAliveWhenNoEventChannelRuns) {
    for (uint16_t transport : {0, 1}) {
        SCOPED_TRACE(TransportName(transport));
        KAVRO_SetWaitTime(5, 0, 1);
        PlainServer server;
        LiveClient client(transport, LoopbackAddress(server.Port()));
        ASSERT_TRUE(client.Open());
        ASSERT_TRUE(WaitForCode1(client.Handle(), {0}, 5000));
        EXPECT_TRUE(WaitUntil([&] { return server.Registrations() == 1; }, 2000));
        // Session time-out 2 s: one keep-alive a second.
        EXPECT_TRUE(WaitUntil([&] { return server.Options() >= 2; }, 3500));
        // The replies (swallowed between frames over TCP) do not disturb the session.
        const std::vector<int32_t> expected =
            transport == 0 ? std::vector<int32_t>{0} : std::vector<int32_t>{1, 0};
        EXPECT_EQ(Code1Arguments(client.Handle()), expected);
        EXPECT_EQ(client.handle.state.load(), 0);
        EXPECT_LT(client.Close(), 3000);
    }
}

}  // namespace
}  // namespace kavro
