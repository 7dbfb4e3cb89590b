// Live streams through the C interface only, from the camera simulator and from GStreamer's RTSP
// server, over both transports: connection, measured rates, sound, and keep-alive.
#include "support/e2e_live.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "kavro.h"
#include "support/camsim_process.h"
#include "support/e2e_gst_server.h"
#include "support/sound_support.h"

namespace {

using kavro::test::E2eNotifications;
using kavro::test::E2eRecord;

constexpr int kStreamFps = 25;
constexpr int kCamsimToneHz = 500;
constexpr int kGstToneHz = 700;

enum class Server { kCamsim, kGstreamer };

struct LiveCase {
    Server server;
    uint16_t transport;
    const char* name;
};

// One server of either kind, started for the test.
struct LiveServer {
    std::unique_ptr<kavro::test::CamsimProcess> camsim;
    std::unique_ptr<kavro::test::GstRtspServerProcess> gst;
    uint16_t port = 0;
    std::string path;  // "" for the simulator: the library asks for the channel number
    std::string skip;
    std::string error;
    int toneHz = 0;
};

LiveServer StartServer(Server kind, int sessionTimeoutSec = 60) {
    LiveServer s;
    if (kind == Server::kCamsim) {
        s.camsim = std::make_unique<kavro::test::CamsimProcess>(
            std::vector<std::string>{"--audio", "pcma", "--fps", std::to_string(kStreamFps)});
        if (!s.camsim->Running()) s.error = "camera simulator did not start";
        s.port = s.camsim->Port();
        s.toneHz = kCamsimToneHz;
    } else {
        kavro::test::GstServerOptions o;
        o.fps = kStreamFps;
        o.toneHz = kGstToneHz;
        o.sessionTimeoutSec = sessionTimeoutSec;
        s.gst = std::make_unique<kavro::test::GstRtspServerProcess>(o);
        s.skip = s.gst->SkipReason();
        s.error = s.gst->Error();
        s.port = s.gst->Port();
        s.path = "live";
        s.toneHz = kGstToneHz;
    }
    return s;
}

class E2eLive : public ::testing::TestWithParam<LiveCase> {
protected:
    static void SetUpTestSuite() {
        ASSERT_EQ(1, KAVRO_Startup(0, 0, &E2eNotifications::Callback, 0));
        KAVRO_SetWaitTime(5, 1, 1);
    }
    static void TearDownTestSuite() { KAVRO_Cleanup(); }
};

TEST_P(E2eLive, ConnectsMeasuresRatesAndPlaysSound) {
    const LiveCase& c = GetParam();
    kavro_test::SoundAlsaConfig alsa;
    LiveServer server = StartServer(c.server);
    if (!server.skip.empty()) GTEST_SKIP() << server.skip;
    ASSERT_TRUE(server.error.empty()) << server.error;

    const KAVRO_CLIENT_RECORD r = E2eRecord(c.transport, server.port, server.path);
    const KAVRO_HANDLE h = KAVRO_ClientStart(&r);
    ASSERT_NE(0u, h);
    auto& log = E2eNotifications::Instance();
    ASSERT_TRUE(log.WaitFor(h, 1, 0, 10000)) << log.Describe(h);
    EXPECT_EQ(0, KAVRO_GetClientState(h));
    ASSERT_EQ(1, KAVRO_ClientPlayAudio(h));

    // Reference: a second viewer of the same stream counting RTP payload bytes and pictures
    // over the same seconds as the library's own once-a-second measurement.
    kavro::test::E2eStreamCounter reference;
    std::string error;
    ASSERT_TRUE(reference.Start(server.port, server.path.empty() ? "1" : server.path, &error)) << error;
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));  // decoder and counters settle
    const auto before = reference.Now();
    const kavro::test::E2eRates lib = kavro::test::E2eSampleRates(h, 6);
    const auto after = reference.Now();
    reference.Stop();
    const double refKbps = kavro::test::E2eKbps(before, after);
    const double refFps = kavro::test::E2eFps(before, after);
    std::string samples;
    for (size_t i = 0; i < lib.kbpsSamples.size(); ++i)
        samples += " " + std::to_string(lib.kbpsSamples[i]) + "/" + std::to_string(lib.fpsSamples[i]);
    const std::string server_header = [&] {
        const std::string& d = reference.DescribeReply();
        size_t p = d.find("Server:");
        return p == std::string::npos ? std::string("-") : d.substr(p, d.find('\r', p) - p);
    }();
    std::printf(
        "[ rates    ] %s: library %.1f kbps %.1f fps (kbps/fps samples:%s); reference %.1f kbps "
        "%.1f fps; %s\n",
        c.name, lib.kbps, lib.fps, samples.c_str(), refKbps, refFps, server_header.c_str());
    ASSERT_FALSE(lib.kbpsSamples.empty());
    EXPECT_NEAR(lib.fps, kStreamFps, 3.0) << samples;
    EXPECT_NEAR(refFps, kStreamFps, 3.0);
    ASSERT_GT(refKbps, 0.0);
    EXPECT_NEAR(lib.kbps, refKbps, refKbps * 0.10) << samples;

    int32_t stopped = KAVRO_ClientStop(h);
    EXPECT_EQ(1, stopped);
    const std::vector<int16_t> played =
        kavro_test::SoundSamplesFromBytes(kavro_test::SoundReadFile(alsa.OutPath()));
    std::printf("[ sound    ] %s: %zu samples played\n", c.name, played.size());
    ASSERT_GT(played.size(), 8000u * 2) << "less than two seconds of sound reached the device";
    EXPECT_NEAR(kavro_test::SoundDominantFrequency(played), server.toneHz, 20.0);
}

INSTANTIATE_TEST_SUITE_P(Servers, E2eLive,
                         ::testing::Values(LiveCase{Server::kCamsim, 0, "CamsimUdp"},
                                           LiveCase{Server::kCamsim, 1, "CamsimTcp"},
                                           LiveCase{Server::kGstreamer, 0, "GstreamerUdp"},
                                           LiveCase{Server::kGstreamer, 1, "GstreamerTcp"}),
                         [](const ::testing::TestParamInfo<LiveCase>& info) { return info.param.name; });

// With a 10 s session timeout the stream must outlive three timeouts: the library's keep-alives
// hold the session open. Both transports run side by side on one server.
TEST(E2eKeepAlive, StreamOutlivesThreeSessionTimeouts) {
    constexpr int kTimeoutSec = 10;
    constexpr int kRunSec = 35;
    ASSERT_EQ(1, KAVRO_Startup(0, 0, &E2eNotifications::Callback, 0));
    kavro_test::SoundAlsaConfig noSound(false);
    LiveServer server = StartServer(Server::kGstreamer, kTimeoutSec);
    if (!server.skip.empty()) {
        KAVRO_Cleanup();
        GTEST_SKIP() << server.skip;
    }
    ASSERT_TRUE(server.error.empty()) << server.error;
    auto& log = E2eNotifications::Instance();

    const uint16_t transports[] = {0, 1};
    KAVRO_HANDLE handles[2] = {0, 0};
    for (int i = 0; i < 2; ++i) {
        const KAVRO_CLIENT_RECORD r = E2eRecord(transports[i], server.port, server.path);
        handles[i] = KAVRO_ClientStart(&r);
        ASSERT_NE(0u, handles[i]);
    }
    for (KAVRO_HANDLE h : handles) ASSERT_TRUE(log.WaitFor(h, 1, 0, 10000)) << log.Describe(h);

    // Every five seconds each client must still be receiving pictures.
    for (int t = 5; t <= kRunSec; t += 5) {
        std::this_thread::sleep_for(std::chrono::seconds(5));
        for (int i = 0; i < 2; ++i) {
            int32_t kbps = 0, fps = 0;
            ASSERT_EQ(1, KAVRO_GetBitStreamInfo(handles[i], &kbps, &fps));
            std::printf("[ keepalive] t=%2d s transport %u: %d kbps %d fps\n", t, transports[i], kbps, fps);
            EXPECT_GT(fps, 0) << "transport " << transports[i] << " at " << t << " s; "
                              << log.Describe(handles[i]);
            EXPECT_EQ(0, KAVRO_GetClientState(handles[i]));
        }
    }
    for (KAVRO_HANDLE h : handles) {
        EXPECT_EQ(0u, log.Count(h, 1, 3)) << log.Describe(h);
        EXPECT_EQ(1u, log.Count(h, 1, 0)) << log.Describe(h);
        EXPECT_EQ(1, KAVRO_ClientStop(h));
    }
    KAVRO_Cleanup();
}

}  // namespace
