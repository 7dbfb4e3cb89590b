// Live picture latency: from the arrival of the packet that ends a picture (RTP marker bit) on
// the video socket to the moment the display thread has handed the decoded picture on (its
// frame counter steps right after the presenter call). The receive loop is this program's own,
// so that the arrival can be stamped; everything after it (depacketizer, conduit, display with
// its jitter allowance, pacing and decoder) is the library's.
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "api/ClientHandle.h"
#include "api/Library.h"
#include "conduit/CBufferConduit.h"
#include "display/CAVDisplay.h"
#include "kavro.h"
#include "source/RtpVideoDepacketizer.h"
#include "source/RtspSession.h"

using namespace kavro;

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

double Percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t i = std::min(v.size() - 1, static_cast<size_t>(p / 100.0 * static_cast<double>(v.size())));
    return v[i];
}

}  // namespace

int main(int argc, char** argv) {
    std::string address;
    int warmupSec = 5, durationSec = 60;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--address"))
            address = argv[i + 1];
        else if (!std::strcmp(argv[i], "--warmup"))
            warmupSec = std::atoi(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--duration"))
            durationSec = std::atoi(argv[i + 1]);
    }
    KAVRO_CLIENT_RECORD record;
    std::memset(&record, 0, sizeof record);
    if (address.empty() || address.size() >= sizeof record.address || durationSec <= 0 || warmupSec < 0) {
        std::fprintf(stderr,
                     "usage: latency_bench --address HOST:PORT/PATH [--warmup SEC] [--duration SEC]\n");
        return 2;
    }
    std::memcpy(record.address, address.c_str(), address.size() + 1);
    record.transport = 0;
    record.viewOn = 1;

    ClientHandle client;
    if (!InitLiveClient(&client, &record)) return 1;
    CBufferConduit video, audio;
    if (!video.Init(0x200000, 0, 8192, 1) || !audio.Init(0x20000, 0, 8192, 0)) return 1;
    client.videoConduit = &video;
    client.audioConduit = &audio;

    std::atomic<int> stop{0};
    RtspSession session(&client, 5);
    session.stopFlag = &stop;
    if (session.OpenSockets() != 1 || session.RtspConnect() != 1) {
        std::fprintf(stderr, "RTSP handshake failed\n");
        return 1;
    }
    CAVDisplay display;
    display.Attach(&client, nullptr);
    if (display.ResetDecoder() != 1 || display.Start() != 0) {
        std::fprintf(stderr, "display start failed\n");
        return 1;
    }

    const size_t expected = static_cast<size_t>(warmupSec + durationSec + 10) * 64;
    std::vector<Clock::time_point> arrivals, shown;
    arrivals.reserve(expected);
    shown.reserve(expected);

    RtpVideoDepacketizer depacketizer(&client, &video, nullptr, RtpVideoDepacketizer::kJpegTypeUdp);
    if (!depacketizer.Prepare()) return 1;
    depacketizer.BeginRun();
    depacketizer.SetParameterSets(session.ParameterSets(), session.ParameterSetsLength());

    std::thread receiver([&] {
        std::vector<uint8_t> buf(65536);
        while (!stop.load()) {
            const int n = session.videoSocket.Recv(buf.data(), buf.size());
            const Clock::time_point t = Clock::now();
            if (n < 0 || (n == 0 && !session.videoSocket.IsOpen())) break;
            if (n >= 12 && (buf[1] & 0x80)) arrivals.push_back(t);
            depacketizer.HandlePacket(buf.data(), static_cast<size_t>(n));
        }
    });
    std::atomic<int> stopPoll{0};
    std::thread poller([&] {
        uint32_t seen = client.frameCount.load();
        const timespec pause{0, 100000};  // 0.1 ms resolution
        while (!stopPoll.load()) {
            const uint32_t now = client.frameCount.load();
            if (now != seen) {
                const Clock::time_point t = Clock::now();
                for (; seen != now; ++seen) shown.push_back(t);
            }
            nanosleep(&pause, nullptr);
        }
    });

    const Clock::time_point start = Clock::now();
    const Clock::time_point windowStart = start + std::chrono::seconds(warmupSec);
    const Clock::time_point windowEnd = windowStart + std::chrono::seconds(durationSec);
    std::this_thread::sleep_until(windowEnd);

    // Stop the input, let the display take what it will, then pair pictures with pictures sent.
    stop = 1;
    session.CloseMediaSockets();
    receiver.join();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    stopPoll = 1;
    poller.join();
    const int queued = video.GetFrameCount();
    const int jitter = client.jitterFrames.load();
    display.StopAndWait();
    session.SetSocketTimeouts(1000, 1000);
    session.RtspTeardown();
    session.CloseSockets();
    video.Close();
    audio.Close();

    // Pictures that never made it out (frames before the first key picture, and those still
    // queued) shift the pairing by a constant.
    const long offset = static_cast<long>(arrivals.size()) - static_cast<long>(shown.size()) - queued;
    std::vector<double> lat;
    long negative = 0;
    for (size_t p = 0; p < shown.size(); ++p) {
        const long a = static_cast<long>(p) + offset;
        if (a < 0 || a >= static_cast<long>(arrivals.size())) continue;
        if (arrivals[a] < windowStart || arrivals[a] >= windowEnd) continue;
        const double ms = Ms(arrivals[a], shown[p]);
        if (ms < 0) ++negative;
        lat.push_back(ms);
    }
    double mean = 0;
    for (double v : lat) mean += v;
    if (!lat.empty()) mean /= static_cast<double>(lat.size());
    std::printf(
        "RESULT pictures=%zu p50_ms=%.2f p90_ms=%.2f p99_ms=%.2f max_ms=%.2f mean_ms=%.2f "
        "frames_sent=%zu frames_shown=%zu unpaired_offset=%ld still_queued=%d jitter_frames=%d "
        "negative=%ld\n",
        lat.size(), Percentile(lat, 50), Percentile(lat, 90), Percentile(lat, 99),
        lat.empty() ? 0.0 : *std::max_element(lat.begin(), lat.end()), mean, arrivals.size(), shown.size(),
        offset, queued, jitter, negative);
    return lat.empty() || negative > 0 ? 1 : 0;
}
