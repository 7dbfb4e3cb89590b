// camsim: a simulated IP camera for the tests and the sample host. See `camsim --help`.
#include <arpa/inet.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <random>

extern "C" {
#include <libavutil/log.h>
}

#include "MediaCache.h"
#include "Options.h"
#include "RequestLog.h"
#include "RtspHandler.h"
#include "Server.h"
#include "Streamer.h"

using namespace kavro::camsim;

namespace {

std::atomic<bool> g_stop{false};

void OnSignal(int) { g_stop.store(true); }

// RTP leaves from an even port whose odd neighbour is held too, so the pair announced in SETUP
// replies is really ours.
bool OpenUdpPair(int* rtp, int* rtcp, uint16_t* port) {
    for (int attempt = 0; attempt < 50; ++attempt) {
        int a = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_ANY);
        socklen_t len = sizeof addr;
        if (a < 0 || ::bind(a, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            getsockname(a, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
            if (a >= 0) ::close(a);
            return false;
        }
        uint16_t p = ntohs(addr.sin_port);
        int b = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        addr.sin_port = htons(static_cast<uint16_t>(p + 1));
        if (p % 2 == 0 && p < 65535 && b >= 0 &&
            ::bind(b, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
            int size = 1 << 20;
            setsockopt(a, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
            *rtp = a;
            *rtcp = b;
            *port = p;
            return true;
        }
        ::close(a);
        if (b >= 0) ::close(b);
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, &options)) return 2;
    if (options.nonce.empty()) {
        std::random_device rd;
        char hex[33];
        for (int i = 0; i < 4; ++i) std::snprintf(hex + i * 8, 9, "%08x", rd());
        options.nonce = hex;
    }
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    RequestLog log;
    if (!options.logPath.empty() && !log.Open(options.logPath)) {
        std::perror("camsim: log file");
        return 1;
    }
    av_log_set_level(AV_LOG_ERROR);
    MediaCache media;
    if (!media.Build(options)) return 1;

    int rtpFd = -1, rtcpFd = -1;
    uint16_t udpPort = 0;
    if (!OpenUdpPair(&rtpFd, &rtcpFd, &udpPort)) {
        std::fprintf(stderr, "camsim: no UDP port pair\n");
        return 1;
    }
    int rc = 0;
    {
        Streamer streamer(options, media, rtpFd);
        ServerContext context;
        context.options = &options;
        context.media = &media;
        context.streamer = &streamer;
        context.log = options.logPath.empty() ? nullptr : &log;
        context.udpPort = udpPort;

        Server server(context);
        // Further protocols on the same port (camera commands, events, talk) add a route here.
        server.AddRoute({"rtsp", &RtspHandler::IsRtspLine,
                         [](const ServerContext& c) { return std::make_unique<RtspHandler>(c); }});
        if (!server.Listen(options.port)) {
            rc = 1;
        } else {
            std::printf("PORT %u\n", server.Port());
            std::fflush(stdout);
            streamer.Start();
            server.Run(g_stop);  // ends every connection before it returns
            streamer.Stop();
        }
    }
    ::close(rtpFd);
    ::close(rtcpFd);
    return rc;
}
