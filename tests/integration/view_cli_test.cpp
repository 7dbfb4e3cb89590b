// The sample host kavro-view run as a program: its command line, exit codes and headless output
// against the camera simulator, and a recording it made replayed by it to the end.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/camsim_process.h"
#include "support/snapshot_replay_fixtures.h"
#include "support/source_live_client.h"

namespace {

using kavro::test::CamsimProcess;
using kavro::test::ProgramResult;

const std::string kViewer = KAVRO_BINARY_DIR "/tools/kavro-view/kavro-view";

// A line holding ": <n> kbit/s, <m> fps" with both numbers above zero.
bool HasNonzeroRateLine(const std::string& out) {
    size_t pos = 0;
    while ((pos = out.find(" kbit/s, ", pos)) != std::string::npos) {
        size_t start = out.rfind(": ", pos);
        pos += 9;
        if (start == std::string::npos) continue;
        long kbps = std::strtol(out.c_str() + start + 2, nullptr, 10);
        char* end = nullptr;
        long fps = std::strtol(out.c_str() + pos, &end, 10);
        if (kbps > 0 && fps > 0 && end && std::string(end).rfind(" fps", 0) == 0) return true;
    }
    return false;
}

class ViewCli : public ::testing::Test {
protected:
    void SetUp() override {
        if (access(kViewer.c_str(), X_OK) != 0) GTEST_SKIP() << "kavro-view is not built: " << kViewer;
    }
    static ProgramResult Run(std::vector<std::string> args, int timeoutMs = 20000) {
        args.insert(args.begin(), kViewer);
        return kavro::test::RunProgram(args, timeoutMs);
    }
    static std::string Address(uint16_t port) { return "127.0.0.1:" + std::to_string(port); }
};

std::vector<uint8_t> ReadAll(const std::string& path) {
    std::vector<uint8_t> out;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return out;
    uint8_t buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.insert(out.end(), buf, buf + n);
    fclose(f);
    return out;
}

TEST_F(ViewCli, HelpListsUsageAndExitCodes) {
    ProgramResult r = Run({"--help"});
    EXPECT_EQ(0, r.exitCode);
    EXPECT_NE(std::string::npos, r.out.find("usage: kavro-view [options] ADDRESS..."));
    for (const char* code :
         {"  2  bad command line", "  3  a camera could not be reached", "  4  a camera answered"})
        EXPECT_NE(std::string::npos, r.out.find(code)) << code;
}

TEST_F(ViewCli, BadCommandLinesExitTwoWithAReason) {
    const std::string longAddress(161, 'a');
    struct Case {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{}, "no camera address given"},
        {{"--bogus", "127.0.0.1"}, "unknown option '--bogus'"},
        {{"--channel", "256", "127.0.0.1"}, "--channel: '256' is not a whole number from 0 to 255"},
        {{"--duration", "5s", "127.0.0.1"}, "--duration: '5s' is not a whole number"},
        {{"--seconds", "3", "127.0.0.1"}, "--seconds needs --record FILE"},
        {{"127.0.0.1", "--user"}, "--user needs a value"},
        {{"--headless=yes", "127.0.0.1"}, "--headless takes no value"},
        {{"--replay", "x.rec", "127.0.0.1"}, "--replay takes no camera address"},
        {{"--record", "a.rec", "127.0.0.1", "127.0.0.2"}, "take a single camera address"},
        {{"--record", "same", "--snapshot", "same", "127.0.0.1"}, "name the same file"},
        {{longAddress}, "longer than 160 characters"},
        {{"--password", std::string(66, 'p'), "127.0.0.1"}, "longer than 65 characters"},
    };
    for (const Case& c : cases) {
        ProgramResult r = Run(c.args, 5000);
        EXPECT_EQ(2, r.exitCode) << c.message;
        EXPECT_NE(std::string::npos, r.err.find(c.message)) << "stderr: " << r.err;
        EXPECT_TRUE(r.out.empty()) << r.out;
    }
}

TEST_F(ViewCli, UnreachableCameraExitsThreeAfterTheRetries) {
    const uint16_t port = kavro::test::RefusingPort();
    for (const char* transport : {"--headless", "--tcp"}) {
        auto start = std::chrono::steady_clock::now();
        ProgramResult r = Run({"--headless", transport, "--retries", "1", "--retry-interval", "0",
                               "--connect-timeout", "1", Address(port)},
                              15000);
        auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        EXPECT_FALSE(r.timedOut);
        EXPECT_EQ(3, r.exitCode) << r.out << r.err;
        EXPECT_LT(ms.count(), 10000);
        EXPECT_NE(std::string::npos, r.out.find("gave up connecting")) << r.out;
        EXPECT_NE(std::string::npos, r.err.find("cannot reach the camera")) << r.err;
        // One retry: the second attempt is announced.
        EXPECT_NE(std::string::npos, r.out.find("reconnecting after the wait")) << r.out;
    }
}

TEST_F(ViewCli, RefusedLoginExitsFourAndTheRightOneConnects) {
    CamsimProcess sim({"--auth", "viewer:secret", "--audio", "none"});
    ASSERT_TRUE(sim.Running());
    ProgramResult wrong =
        Run({"--headless", "--retries", "0", "--user", "viewer", "--password", "nope", Address(sim.Port())});
    EXPECT_EQ(4, wrong.exitCode) << wrong.out << wrong.err;
    EXPECT_NE(std::string::npos, wrong.out.find("connection attempt failed")) << wrong.out;
    EXPECT_NE(std::string::npos, wrong.err.find("wrong user name or password")) << wrong.err;

    ProgramResult right = Run({"--headless", "--retries", "0", "--duration", "2", "--user", "viewer",
                               "--password", "secret", Address(sim.Port())});
    EXPECT_EQ(0, right.exitCode) << right.out << right.err;
    EXPECT_NE(std::string::npos, right.out.find(": connected")) << right.out;
}

TEST_F(ViewCli, HeadlessPrintsStateRatesAndEvents) {
    CamsimProcess sim({"--motion-every", "500", "--alarm-every", "700"});
    ASSERT_TRUE(sim.Running());
    for (const char* transport : {"--headless", "--tcp"}) {
        ProgramResult r = Run({"--headless", transport, "--duration", "4", Address(sim.Port())});
        EXPECT_EQ(0, r.exitCode) << r.out << r.err;
        EXPECT_NE(std::string::npos, r.out.find(Address(sim.Port()) + ": connected")) << r.out;
        EXPECT_NE(std::string::npos, r.out.find("motion in regions 0,3")) << r.out;
        EXPECT_NE(std::string::npos, r.out.find("alarm 1")) << r.out;
        // At least one second with pictures: a rate line with a nonzero frame rate.
        EXPECT_TRUE(HasNonzeroRateLine(r.out)) << r.out;
    }
}

TEST_F(ViewCli, RecordingSnapshotAndReplayToTheEnd) {
    CamsimProcess sim;
    ASSERT_TRUE(sim.Running());
    kavro::fixtures::TempDir dir;
    const std::string rec = dir.Path("out/cam.rec");  // folders made on the way
    const std::string jpg = dir.Path("out/cam.jpg");
    ProgramResult live = Run(
        {"--headless", "--tcp", "--record", rec, "--seconds", "3", "--snapshot", jpg, Address(sim.Port())});
    EXPECT_FALSE(live.timedOut);
    ASSERT_EQ(0, live.exitCode) << live.out << live.err;
    EXPECT_NE(std::string::npos, live.out.find("recording started")) << live.out;
    EXPECT_NE(std::string::npos, live.out.find("recording limit reached")) << live.out;
    EXPECT_NE(std::string::npos, live.out.find("snapshot written: " + jpg)) << live.out;

    std::vector<uint8_t> picture = ReadAll(jpg);
    ASSERT_GT(picture.size(), 4u);
    EXPECT_EQ(0xFF, picture[0]);
    EXPECT_EQ(0xD8, picture[1]);
    EXPECT_EQ(0xFF, picture[picture.size() - 2]);
    EXPECT_EQ(0xD9, picture[picture.size() - 1]);

    struct stat st {};
    ASSERT_EQ(0, stat(rec.c_str(), &st));
    EXPECT_GT(st.st_size, 10000);
    ProgramResult replay = Run({"--headless", "--replay", rec}, 20000);
    EXPECT_FALSE(replay.timedOut);
    EXPECT_EQ(0, replay.exitCode) << replay.out << replay.err;
    EXPECT_NE(std::string::npos, replay.out.find(rec + ": replay ended")) << replay.out;

    ProgramResult missing = Run({"--headless", "--replay", dir.Path("none.rec")}, 10000);
    EXPECT_EQ(1, missing.exitCode);
    EXPECT_NE(std::string::npos, missing.err.find("cannot replay")) << missing.err;
}

TEST_F(ViewCli, TaskNotDoneWithinTheDurationFails) {
    CamsimProcess sim({"--audio", "none"});
    ASSERT_TRUE(sim.Running());
    kavro::fixtures::TempDir dir;
    ProgramResult r = Run({"--headless", "--duration", "1", "--record", dir.Path("long.rec"), "--seconds",
                           "30", Address(sim.Port())});
    EXPECT_EQ(1, r.exitCode) << r.out << r.err;
    EXPECT_NE(std::string::npos, r.err.find("--duration ended before")) << r.err;
    // The recording that was cut short is closed and reported.
    EXPECT_NE(std::string::npos, r.out.find("recording stopped")) << r.out;
}

}  // namespace
