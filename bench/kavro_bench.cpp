// Headless host for CPU measurements: starts N live clients through the C interface (decoding on,
// no window) and reports this process's CPU time over a measurement window, together with the
// frame rate each client reports.
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kavro.h"

namespace {

struct Options {
    std::string address;  // host:port/path
    int transport = 0;    // 0 UDP, 1 TCP
    int clients = 1;
    int warmupSec = 5;
    int durationSec = 60;
};

void Usage() {
    std::fprintf(stderr,
                 "usage: kavro_bench --address HOST:PORT/PATH [--transport udp|tcp] [--clients N]\n"
                 "                   [--warmup SEC] [--duration SEC]\n");
}

bool Parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (i + 1 >= argc) return false;
        const char* v = argv[++i];
        if (a == "--address")
            o.address = v;
        else if (a == "--transport") {
            if (std::strcmp(v, "udp") == 0)
                o.transport = 0;
            else if (std::strcmp(v, "tcp") == 0)
                o.transport = 1;
            else
                return false;
        } else if (a == "--clients")
            o.clients = std::atoi(v);
        else if (a == "--warmup")
            o.warmupSec = std::atoi(v);
        else if (a == "--duration")
            o.durationSec = std::atoi(v);
        else
            return false;
    }
    return !o.address.empty() && o.address.size() < sizeof(KAVRO_CLIENT_RECORD{}.address) && o.clients > 0 &&
           o.warmupSec >= 0 && o.durationSec > 0;
}

double CpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

double Now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void SleepUntil(double t) {
    for (;;) {
        const double left = t - Now();
        if (left <= 0) return;
        timespec ts{};
        ts.tv_sec = static_cast<time_t>(left);
        ts.tv_nsec = static_cast<long>((left - static_cast<double>(ts.tv_sec)) * 1e9);
        nanosleep(&ts, nullptr);
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!Parse(argc, argv, o)) {
        Usage();
        return 2;
    }
    if (KAVRO_Startup(0, 0, nullptr, 0) != 1) {
        std::fprintf(stderr, "start-up failed\n");
        return 1;
    }
    std::vector<KAVRO_HANDLE> handles;
    for (int i = 0; i < o.clients; ++i) {
        KAVRO_CLIENT_RECORD r;
        std::memset(&r, 0, sizeof r);
        r.transport = static_cast<uint16_t>(o.transport);
        r.viewOn = 1;
        r.videoWnd = 0;
        std::memcpy(r.address, o.address.c_str(), o.address.size() + 1);
        const KAVRO_HANDLE h = KAVRO_ClientStart(&r);
        if (h == 0) {
            std::fprintf(stderr, "client %d failed to start\n", i);
            for (KAVRO_HANDLE s : handles) KAVRO_ClientStop(s);
            KAVRO_Cleanup();
            return 1;
        }
        handles.push_back(h);
    }

    SleepUntil(Now() + o.warmupSec);
    const double t0 = Now();
    const double c0 = CpuSeconds();
    // The library's meter counts the pictures of each one-second period; one sample per second
    // over the window adds up to the pictures shown in it.
    std::vector<long> frames(handles.size(), 0);
    std::vector<int> lowest(handles.size(), 1 << 30);
    for (int s = 1; s <= o.durationSec; ++s) {
        SleepUntil(t0 + s);
        for (size_t i = 0; i < handles.size(); ++i) {
            int32_t kbps = 0, fps = 0;
            if (KAVRO_GetBitStreamInfo(handles[i], &kbps, &fps) != 1) fps = 0;
            frames[i] += fps;
            lowest[i] = std::min(lowest[i], static_cast<int>(fps));
        }
    }
    const double c1 = CpuSeconds();
    const double t1 = Now();
    for (KAVRO_HANDLE h : handles) KAVRO_ClientStop(h);
    KAVRO_Cleanup();

    const double wall = t1 - t0;
    double minFps = 1e9, sumFps = 0;
    for (size_t i = 0; i < handles.size(); ++i) {
        const double f = static_cast<double>(frames[i]) / o.durationSec;
        minFps = std::min(minFps, f);
        sumFps += f;
        std::printf("CLIENT %zu fps=%.2f lowest_second=%d\n", i, f, lowest[i]);
    }
    std::printf(
        "RESULT clients=%d wall_s=%.3f cpu_s=%.3f cpu_per_s=%.4f cpu_per_s_per_stream=%.4f "
        "fps_min=%.2f fps_mean=%.2f\n",
        o.clients, wall, c1 - c0, (c1 - c0) / wall, (c1 - c0) / wall / o.clients, minFps,
        sumFps / static_cast<double>(handles.size()));
    return 0;
}
