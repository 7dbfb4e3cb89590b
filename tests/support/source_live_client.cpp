#include "support/source_live_client.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include "kavro.h"
#include "source/CAVSource_RTSP_TCP.h"
#include "source/CAVSource_RTSP_UDP.h"

namespace kavro::test {
namespace {

using Clock = std::chrono::steady_clock;

struct Collector {
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<Notification> seen;
} g_notes;

std::atomic<uint32_t> g_nextHandle{0x5000};

}  // namespace

int32_t SourceCollectNotification(uint32_t handle, int32_t code, int32_t argument, int32_t userValue) {
    std::lock_guard<std::mutex> lock(g_notes.mutex);
    g_notes.seen.push_back(Notification{handle, code, argument, userValue});
    g_notes.cv.notify_all();
    return 0;
}

std::vector<int32_t> Code1Arguments(uint32_t handle) {
    std::lock_guard<std::mutex> lock(g_notes.mutex);
    std::vector<int32_t> out;
    for (const auto& n : g_notes.seen)
        if (n.handle == handle && n.code == 1) out.push_back(n.argument);
    return out;
}

bool WaitForCode1(uint32_t handle, const std::vector<int32_t>& tail, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::unique_lock<std::mutex> lock(g_notes.mutex);
    for (;;) {
        std::vector<int32_t> args;
        for (const auto& n : g_notes.seen)
            if (n.handle == handle && n.code == 1) args.push_back(n.argument);
        if (args.size() >= tail.size() && std::equal(tail.begin(), tail.end(), args.end() - tail.size()))
            return true;
        if (g_notes.cv.wait_until(lock, deadline) == std::cv_status::timeout) return false;
    }
}

bool WaitUntil(const std::function<bool()>& condition, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

uint16_t RefusingPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    ::close(fd);
    return ntohs(sa.sin_port);
}

SilentServer::SilentServer() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd_, 4) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &len) != 0)
        ADD_FAILURE() << "cannot listen on loopback";
    port_ = ntohs(sa.sin_port);
}

SilentServer::~SilentServer() {
    if (fd_ >= 0) ::close(fd_);
}

LiveClient::LiveClient(uint16_t transport, const std::string& address, bool audioOn) {
    KAVRO_CLIENT_RECORD record{};
    record.transport = transport;
    record.viewOn = 1;
    record.channel = 1;
    std::snprintf(record.address, sizeof record.address, "%s", address.c_str());
    EXPECT_TRUE(InitLiveClient(&handle, &record));
    handle.self = ++g_nextHandle;
    handle.audioOn = audioOn ? 1 : 0;
    video.Init(2 * 1024 * 1024, 0, 0, 1);
    audio.Init(64 * 1024, 0, 0, 0);
    handle.videoConduit = &video;
    handle.audioConduit = &audio;
    if (transport == 0)
        source.reset(new CAVSource_RTSP_UDP());
    else
        source.reset(new CAVSource_RTSP_TCP());
    source->client = &handle;
    source->videoConduit = &video;
    source->audioConduit = &audio;
    handle.source = source.get();
}

LiveClient::~LiveClient() { Close(); }

bool LiveClient::Open() { return source->Init() == 1 && source->Start() == 0; }

int64_t LiveClient::Close() {
    if (!source) return 0;
    video.Close();
    audio.Close();
    const auto start = Clock::now();
    source->Stop();
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    source->Release();
    source.reset();
    handle.source = nullptr;
    return took;
}

}  // namespace kavro::test
