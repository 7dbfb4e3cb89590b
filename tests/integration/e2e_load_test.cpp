// Many clients through the C interface against one camera simulator: repeated start/stop, and
// many streams at once.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "kavro.h"
#include "support/camsim_process.h"
#include "support/e2e_live.h"
#include "support/sound_support.h"

namespace {

using kavro::test::E2eNotifications;
using kavro::test::E2eRecord;

class E2eLoad : public ::testing::TestWithParam<uint16_t> {
protected:
    kavro_test::SoundAlsaConfig noSound_{false};
    void SetUp() override {
        ASSERT_EQ(1, KAVRO_Startup(0, 0, &E2eNotifications::Callback, 0));
        KAVRO_SetWaitTime(5, 1, 1);
    }
    void TearDown() override { KAVRO_Cleanup(); }
};

TEST_P(E2eLoad, FiftyStartStopCycles) {
    kavro::test::CamsimProcess sim({"--audio", "pcma"});
    ASSERT_TRUE(sim.Running());
    auto& log = E2eNotifications::Instance();
    const KAVRO_CLIENT_RECORD r = E2eRecord(GetParam(), sim.Port());
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 50; ++i) {
        const KAVRO_HANDLE h = KAVRO_ClientStart(&r);
        ASSERT_NE(0u, h) << "cycle " << i;
        ASSERT_TRUE(log.WaitFor(h, 1, 0, 10000)) << "cycle " << i << "; " << log.Describe(h);
        EXPECT_EQ(0, KAVRO_GetClientState(h)) << "cycle " << i;
        ASSERT_EQ(1, KAVRO_ClientStop(h)) << "cycle " << i;
        EXPECT_EQ(0xFFFF, KAVRO_GetClientState(h)) << "cycle " << i << ": handle still answers";
    }
    std::printf("[ cycles   ] transport %u: 50 cycles in %.1f s\n", GetParam(),
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
}

TEST_P(E2eLoad, SixteenClientsStreamAtOnce) {
    constexpr int kClients = 16;
    kavro::test::CamsimProcess sim({"--audio", "pcma"});
    ASSERT_TRUE(sim.Running());
    auto& log = E2eNotifications::Instance();
    const KAVRO_CLIENT_RECORD r = E2eRecord(GetParam(), sim.Port());
    std::vector<KAVRO_HANDLE> handles;
    for (int i = 0; i < kClients; ++i) {
        handles.push_back(KAVRO_ClientStart(&r));
        EXPECT_NE(0u, handles.back()) << "client " << i;
    }
    for (int i = 0; i < kClients; ++i)
        EXPECT_TRUE(log.WaitFor(handles[i], 1, 0, 15000))
            << "client " << i << "; " << log.Describe(handles[i]);

    // Each client must be decoding pictures; the meter reports once a second.
    std::vector<int32_t> fps(kClients, 0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    for (bool all = false; !all && std::chrono::steady_clock::now() < deadline;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        all = true;
        for (int i = 0; i < kClients; ++i) {
            int32_t kbps = 0, f = 0;
            if (KAVRO_GetBitStreamInfo(handles[i], &kbps, &f) == 1 && f > fps[i]) fps[i] = f;
            if (fps[i] == 0) all = false;
        }
    }
    std::string seen;
    for (int i = 0; i < kClients; ++i) {
        seen += " " + std::to_string(fps[i]);
        EXPECT_GT(fps[i], 0) << "client " << i << " shows no pictures; " << log.Describe(handles[i]);
        EXPECT_EQ(0, KAVRO_GetClientState(handles[i])) << "client " << i;
    }
    std::printf("[ 16 streams] transport %u: best fps per client:%s\n", GetParam(), seen.c_str());
    for (KAVRO_HANDLE h : handles) EXPECT_EQ(1, KAVRO_ClientStop(h));
}

INSTANTIATE_TEST_SUITE_P(Transports, E2eLoad, ::testing::Values(0, 1),
                         [](const ::testing::TestParamInfo<uint16_t>& info) {
                             return std::string(info.param == 0 ? "Udp" : "Tcp");
                         });

}  // namespace
