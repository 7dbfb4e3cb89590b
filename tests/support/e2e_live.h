#pragma once
// Test support for end-to-end runs through the C interface: a notification log fed by the
// library's callback, and a plain RTSP client over TCP that counts what a server sends.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kavro.h"
#include "support/camsim_rtsp_client.h"

namespace kavro::test {

struct E2eNotification {
    uint32_t handle;
    int32_t code;
    int32_t argument;
};

// Everything the library reports through the callback. One log per program: the callback is a
// plain function.
class E2eNotifications {
public:
    static E2eNotifications& Instance();
    static int32_t Callback(uint32_t handle, int32_t code, int32_t argument, int32_t userValue);

    // Waits until (handle, code, argument) has been seen, at most timeoutMs.
    bool WaitFor(uint32_t handle, int32_t code, int32_t argument, int timeoutMs);
    size_t Count(uint32_t handle, int32_t code, int32_t argument);
    std::vector<E2eNotification> Of(uint32_t handle);
    // Everything logged for a handle, for failure messages.
    std::string Describe(uint32_t handle);

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<E2eNotification> log_;
};

// A record for the library: RTSP at 127.0.0.1:<port>[/path], decoding on, no window.
KAVRO_CLIENT_RECORD E2eRecord(uint16_t transport, uint16_t port, const std::string& path = "");

// Samples KAVRO_GetBitStreamInfo once a second for `seconds` seconds and returns the means.
struct E2eRates {
    double kbps = 0;
    double fps = 0;
    std::vector<int32_t> kbpsSamples;
    std::vector<int32_t> fpsSamples;
};
E2eRates E2eSampleRates(KAVRO_HANDLE h, int seconds);

// A second viewer of the same stream (RTP over the RTSP connection, video only) that counts the
// RTP payload bytes and the pictures (marker bits) it receives.
class E2eStreamCounter {
public:
    ~E2eStreamCounter();
    // DESCRIBE, SETUP of the video track, PLAY, then counts on a thread of its own.
    bool Start(uint16_t port, const std::string& path, std::string* error);
    void Stop();
    // The DESCRIBE reply (headers and SDP).
    const std::string& DescribeReply() const { return describe_; }

    struct Totals {
        uint64_t payloadBytes;
        uint64_t pictures;
        std::chrono::steady_clock::time_point at;
    };
    Totals Now() const;

private:
    void Run();

    RtspTestClient client_;
    std::string describe_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> payloadBytes_{0};
    std::atomic<uint64_t> pictures_{0};
};

// Payload rate in units of 1024 bit/s and picture rate between two readings.
double E2eKbps(const E2eStreamCounter::Totals& a, const E2eStreamCounter::Totals& b);
double E2eFps(const E2eStreamCounter::Totals& a, const E2eStreamCounter::Totals& b);

}  // namespace kavro::test
