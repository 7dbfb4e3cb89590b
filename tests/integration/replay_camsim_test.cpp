// A recording of a simulated camera's stream replays with the length it was recorded for.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "kavro.h"
#include "platform/Tick.h"
#include "record/RecordFileReader.h"
#include "support/camsim_process.h"
#include "support/replay_notifications.h"
#include "support/snapshot_replay_fixtures.h"

namespace kavro {
namespace {

struct Case {
    const char* name;
    const char* video;
    const char* audio;
    uint16_t transport;
    bool expectAudio;
};

class ReplayCamsimTest : public ::testing::TestWithParam<Case> {
protected:
    void SetUp() override { replaytest::Install(); }
    void TearDown() override { replaytest::Uninstall(); }
};

TEST_P(ReplayCamsimTest, RecordingReplaysWithItsLength) {
    const Case& c = GetParam();
    if (test::CamsimBinaryPath().empty()) GTEST_SKIP() << "no camera simulator in this build";
    test::CamsimProcess cam(
        {"--video", c.video, "--audio", c.audio, "--fps", "25", "--gop", "5", "--size", "160x112"});
    ASSERT_TRUE(cam.Running());

    KAVRO_CLIENT_RECORD rec;
    memset(&rec, 0, sizeof rec);
    rec.transport = c.transport;
    rec.viewOn = 1;
    rec.channel = 1;
    snprintf(rec.address, sizeof rec.address, "127.0.0.1:%u", static_cast<unsigned>(cam.Port()));
    const uint32_t live = KAVRO_ClientStart(&rec);
    ASSERT_NE(0u, live);
    const uint32_t start = GetTick();
    while (KAVRO_GetClientState(live) != 0 && GetTick() - start < 10000) SleepMs(20);
    ASSERT_EQ(0, KAVRO_GetClientState(live)) << "not connected";
    SleepMs(300);  // let the stream settle

    fixtures::TempDir dir;
    const std::string path = dir.Path("cam.rec");
    ASSERT_EQ(1, KAVRO_ClientStartRecord(live, path.c_str(), 0));
    const uint32_t t0 = GetTick();
    SleepMs(4000);
    ASSERT_EQ(1, KAVRO_ClientStopRecord(live));
    const uint32_t recordedMs = GetTick() - t0;
    EXPECT_EQ(1, KAVRO_ClientStop(live));

    {
        RecordFileReader reader;
        ASSERT_TRUE(reader.Open(path.c_str()));
        EXPECT_EQ(std::string(c.video) == "jpeg" ? 26 : 96, reader.VideoPayloadType());
        bool sawAudio = false;
        for (auto r = reader.ReadChunk(); r == RecordFileReader::Read::kChunk; r = reader.ReadChunk())
            sawAudio = sawAudio || reader.Header().kind() == 1;
        EXPECT_EQ(c.expectAudio, sawAudio);
    }

    const uint32_t h = KAVRO_OpenFile(path.c_str(), 0, 0);
    ASSERT_NE(0u, h);
    const uint32_t total = KAVRO_ReplayTotalTime(h);
    // Both in whole seconds, as the replay counts them.
    const uint32_t recordedSec = recordedMs / 1000;
    EXPECT_LE(total, recordedSec) << recordedMs << " ms recorded";
    EXPECT_GE(total + 1, recordedSec) << total << " s replayed of " << recordedMs << " ms";
    // Played at 16 times the speed, the replay reaches its end.
    for (int i = 0; i < 4; ++i) KAVRO_SpeedFast(h);
    EXPECT_TRUE(replaytest::WaitForEnds(h, 1, 10000));
    EXPECT_EQ(1, KAVRO_CloseFile(h));
}

INSTANTIATE_TEST_SUITE_P(Streams, ReplayCamsimTest,
                         ::testing::Values(Case{"h264_pcma_tcp", "h264", "pcma", 1, true},
                                           Case{"h264_pcmu_udp", "h264", "pcmu", 0, true},
                                           Case{"jpeg_tcp", "jpeg", "none", 1, false},
                                           Case{"jpeg_udp", "jpeg", "none", 0, false}),
                         [](const ::testing::TestParamInfo<Case>& i) { return std::string(i.param.name); });

}  // namespace
}  // namespace kavro
