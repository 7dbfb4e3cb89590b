#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "kavro.h"
#include "support/camsim_process.h"
#include "support/source_live_client.h"
#include "support/source_recording.h"

namespace kavro {
namespace {

using Clock = std::chrono::steady_clock;
using namespace test;

class LiveSource : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(KAVRO_Startup(0, 0, SourceCollectNotification, 0)); }
    static void TearDownTestSuite() { KAVRO_Cleanup(); }
    void TearDown() override { KAVRO_SetWaitTime(5, 1, 10); }
};

TEST_F(LiveSource, UnreachableCameraUsesUpItsAttempts) {
    struct Case {
        uint16_t transport;
        int32_t retryCount;
        std::vector<int32_t> notes;
        int32_t finalState;
    };
    const Case cases[] = {
        {0, 1, {2, 4, 2, 5}, 2},
        {0, 0, {2, 5}, 2},
        {1, 1, {1, 4, 1, 5}, 5},
        {1, 0, {1, 5}, 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(TransportName(c.transport)) + " retryCount " + std::to_string(c.retryCount));
        KAVRO_SetWaitTime(2, c.retryCount, 1);
        LiveClient client(c.transport, LoopbackAddress(RefusingPort()));
        ASSERT_TRUE(client.Open());
        ASSERT_TRUE(WaitUntil([&] { return !client.source->IsRunning(); }, 8000));
        ASSERT_TRUE(WaitForCode1(client.Handle(), c.notes, 1000));
        EXPECT_EQ(Code1Arguments(client.Handle()), c.notes);
        EXPECT_EQ(client.handle.state.load(), c.finalState);
    }
}

TEST_F(LiveSource, StopIsBoundedWhileConnectingOrPausing) {
    struct Case {
        uint16_t transport;
        bool silentServer;              // else nothing listens
        std::vector<int32_t> waitFor;   // stop once these came
        std::vector<int32_t> expected;  // all code-1 notifications in the end
    };
    const Case cases[] = {
        // In the handshake: the attempt fails (1/2), then nothing more.
        {0, true, {}, {2}},
        {1, true, {1}, {1}},
        // In the pause between attempts: nothing after the stop.
        {0, false, {2}, {2}},
        {1, false, {1}, {1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(TransportName(c.transport)) + (c.silentServer ? " handshake" : " pause"));
        KAVRO_SetWaitTime(5, -1, 10);
        SilentServer silent;
        LiveClient client(c.transport, LoopbackAddress(c.silentServer ? silent.Port() : RefusingPort()));
        ASSERT_TRUE(client.Open());
        if (!c.waitFor.empty()) {
            ASSERT_TRUE(WaitForCode1(client.Handle(), c.waitFor, 5000));
        }
        // Let the handshake get as far as waiting for its first reply.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_LT(client.Close(), 1500);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_EQ(Code1Arguments(client.Handle()), c.expected);
    }
}

TEST_F(LiveSource, StreamsVideoAndSoundUntilStopped) {
    struct Case {
        uint16_t transport;
        std::vector<std::string> camsimArgs;
        bool fullUrl;
        std::set<uint32_t> videoTypes;  // chunk types recorded (H.264: those of a key picture at least)
    };
    const Case cases[] = {
        {0, {}, false, {5, 7, 8}},
        {1, {}, false, {5, 7, 8}},
        {1, {"--audio", "pcmu"}, true, {5, 7, 8}},
        {1, {"--video", "jpeg", "--audio", "g726-32"}, false, {7}},
        {0, {"--video", "jpeg"}, false, {10}},
    };
    const std::string dir = ::testing::TempDir();
    for (const Case& c : cases) {
        std::string args;
        for (const auto& a : c.camsimArgs) args += a + " ";
        SCOPED_TRACE(std::string(TransportName(c.transport)) + (c.fullUrl ? " full url " : " ") + args);
        KAVRO_SetWaitTime(5, 1, 1);
        CamsimProcess cam(c.camsimArgs);
        ASSERT_TRUE(cam.Running());
        LiveClient client(c.transport,
                          c.fullUrl ? LoopbackAddress(cam.Port()) + "/1" : LoopbackAddress(cam.Port()), true);
        ASSERT_EQ(client.handle.fullUrl, c.fullUrl ? 1 : 0);
        ASSERT_TRUE(client.Open());
        ASSERT_TRUE(WaitForCode1(client.Handle(), {0}, 8000));
        EXPECT_EQ(client.handle.state.load(), 0);

        const std::string path = dir + "source_live_" + std::to_string(getpid()) + ".rec";
        std::snprintf(client.handle.recordPath, sizeof client.handle.recordPath, "%s", path.c_str());
        ASSERT_EQ(client.source->StartRecord(), 1);
        const bool h264 = c.videoTypes.count(5) != 0;
        if (h264) {
            // Pictures went through the conduit and the decoder.
            EXPECT_TRUE(WaitUntil([&] { return client.handle.frameCount.load() >= 5; }, 8000));
            EXPECT_EQ(client.handle.decodedWidth.load(), 352);
            EXPECT_EQ(client.handle.decodedHeight.load(), 288);
            EXPECT_GT(client.handle.byteCount.load(), 0u);
        }
        // Sound is decoded into the audio conduit (nothing plays it here).
        EXPECT_TRUE(WaitUntil([&] { return client.audio.GetDataSize() > 0; }, 3000));
        std::this_thread::sleep_for(std::chrono::milliseconds(h264 ? 1200 : 600));
        ASSERT_EQ(client.source->StopRecord(), 1);

        RecordedChunks rec = ReadRecordedChunks(path);
        EXPECT_TRUE(rec.opened);
        std::remove(path.c_str());
        EXPECT_GT(rec.videoChunks, 0u);
        EXPECT_GT(rec.audioChunks, 0u);
        for (uint32_t t : c.videoTypes) EXPECT_TRUE(rec.videoTypes.count(t)) << "chunk type " << t;
        if (!h264) {
            EXPECT_EQ(rec.videoTypes, c.videoTypes);
        }

        EXPECT_LT(client.Close(), 3000);
        const std::vector<int32_t> expected =
            c.transport == 0 ? std::vector<int32_t>{0} : std::vector<int32_t>{1, 0};
        EXPECT_EQ(Code1Arguments(client.Handle()), expected);

        auto log = cam.WaitForLog(6, 2000);
        bool teardown = false, registration = false;
        for (const auto& r : log) {
            if (r.method == "TEARDOWN") teardown = true;
            if (r.method == "MCTP" && !r.headers.empty() && r.headers[0].first.rfind("CMD:ALIVE", 0) == 0)
                registration = true;
        }
        EXPECT_TRUE(teardown);
        // The event channel is tried unless the address is a full URL.
        EXPECT_EQ(registration, !c.fullUrl);
    }
}

}  // namespace
}  // namespace kavro
