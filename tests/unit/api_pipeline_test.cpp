#include <dirent.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <future>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "api/ClientHandle.h"
#include "api/HandleTable.h"
#include "api/Library.h"
#include "api/Pipeline.h"
#include "conduit/CIConduit.h"
#include "record/RecordFile.h"
#include "source/CAVSource.h"
#include "support/finishes_within.h"

using namespace kavro;

namespace {

int ThreadCount() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/task")) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] != '.') ++n;
        }
        closedir(d);
    }
    return n;
}

// Thread exit is seen by /proc a moment after the join returns.
bool ThreadCountReturnsTo(int expected) {
    for (int i = 0; i < 500; ++i) {
        if (ThreadCount() == expected) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return ThreadCount() == expected;
}

using kavro::test::FinishesWithin;

// What happened to a fake source; outlives the source itself.
struct SourceLog {
    std::vector<std::string> calls;
    ClientHandle* client = nullptr;
    CIConduit* videoConduit = nullptr;
    CIConduit* audioConduit = nullptr;
    std::atomic<bool> ran{false};
};

// A source that runs until stopped. It can fail Init, or be running already so that the
// pipeline's Start of it fails.
class FakeSource : public CAVSource {
public:
    FakeSource(SourceLog* log, int initResult, bool startEarly) : log_(log), initResult_(initResult) {
        if (startEarly) Start();
    }
    ~FakeSource() override {
        stopRequested = 1;
        Join();
        log_->calls.push_back("deleted");
    }
    int Init() override {
        log_->calls.push_back("Init");
        log_->client = client;
        log_->videoConduit = videoConduit;
        log_->audioConduit = audioConduit;
        return initResult_;
    }
    void Release() override { log_->calls.push_back("Release"); }
    int Run() override {
        log_->ran = true;
        while (!stopRequested) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return 0;
    }
    int Stop() override {
        log_->calls.push_back("Stop");
        return StopAndWait();
    }

private:
    SourceLog* log_;
    int initResult_;
};

SourceFactory FakeFactory(SourceLog* log, int initResult = 1, bool startEarly = false) {
    return [=](ClientHandle*) { return std::make_unique<FakeSource>(log, initResult, startEarly); };
}

uint32_t OpenFake(SourceLog* log, const ConduitSettings& settings = LiveConduitSettings()) {
    auto client = std::make_unique<ClientHandle>();
    return OpenClient(std::move(client), FakeFactory(log), settings);
}

std::string TempDir() {
    char tmpl[] = "/tmp/kavro_pipeline_XXXXXX";
    const char* d = mkdtemp(tmpl);
    return d != nullptr ? d : "/tmp";
}

}  // namespace

TEST(Pipeline, OpenWiresEveryPartAndCloseStopsBeforeRelease) {
    SourceLog log;
    const int before = ThreadCount();
    const uint32_t h = OpenFake(&log);
    ASSERT_NE(0u, h);
    {
        HandleRef ref = AcquireClient(h);
        ASSERT_TRUE(ref);
        EXPECT_EQ(h, ref->self);
        EXPECT_NE(nullptr, ref->sound);
        EXPECT_NE(nullptr, ref->bitRate);
        ASSERT_NE(nullptr, ref->source);
        EXPECT_EQ(ref.get(), log.client);
        EXPECT_EQ(ref->videoConduit, log.videoConduit);
        EXPECT_EQ(ref->audioConduit, log.audioConduit);
        ASSERT_NE(nullptr, ref->videoConduit);
        ASSERT_NE(nullptr, ref->audioConduit);
        EXPECT_NE(ref->videoConduit, ref->audioConduit);

        // Video in frame mode, audio as a plain byte stream.
        const uint8_t bytes[4] = {1, 2, 3, 4};
        ASSERT_TRUE(ref->videoConduit->Write(bytes, 4, 1));
        EXPECT_EQ(1, ref->videoConduit->GetFrameCount());
        ASSERT_TRUE(ref->audioConduit->Write(bytes, 4, 1));
        EXPECT_EQ(0, ref->audioConduit->GetFrameCount());
        // A live audio conduit takes far more than a replay one.
        std::vector<uint8_t> block(4096);
        EXPECT_TRUE(ref->audioConduit->Write(block.data(), static_cast<int>(block.size()), 0));
    }
    EXPECT_TRUE([&] {
        for (int i = 0; i < 500 && !log.ran; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return log.ran.load();
    }()) << "source thread never ran";
    EXPECT_GT(ThreadCount(), before);

    EXPECT_EQ(1, CloseClient(h));
    EXPECT_EQ((std::vector<std::string>{"Init", "Stop", "Release", "deleted"}), log.calls);
    EXPECT_FALSE(AcquireClient(h));
    EXPECT_EQ(0, CloseClient(h)) << "a second close of the same value";
    EXPECT_TRUE(ThreadCountReturnsTo(before));
}

TEST(Pipeline, ReplaySettingsGiveASmallAudioConduit) {
    SourceLog log;
    const uint32_t h = OpenFake(&log, ReplayConduitSettings());
    ASSERT_NE(0u, h);
    {
        HandleRef ref = AcquireClient(h);
        ASSERT_TRUE(ref);
        std::vector<uint8_t> block(1025);
        EXPECT_FALSE(ref->audioConduit->Write(block.data(), 1025, 0));
        EXPECT_TRUE(ref->audioConduit->Write(block.data(), 1024, 0));
    }
    EXPECT_EQ(1, CloseClient(h));
}

TEST(Pipeline, FailedOpenLeavesNothingRunning) {
    struct Case {
        const char* name;
        bool makeSource;
        int initResult;
        bool sourceStartFails;
        std::vector<std::string> expectedCalls;
    } cases[] = {
        {"no source for the client", false, 1, false, {}},
        {"source Init fails", true, 0, false, {"Init", "Stop", "Release", "deleted"}},
        // The audio player already runs when the source's start fails: it must be stopped.
        {"source thread cannot start", true, 1, true, {"Init", "Stop", "Release", "deleted"}},
    };
    for (const Case& c : cases) {
        SourceLog log;
        const int before = ThreadCount();
        SourceFactory factory;
        if (c.makeSource) {
            factory = FakeFactory(&log, c.initResult, c.sourceStartFails);
        } else {
            factory = [](ClientHandle*) { return std::unique_ptr<CAVSource>(); };
        }
        const uint32_t h = OpenClient(std::make_unique<ClientHandle>(), factory, LiveConduitSettings());
        EXPECT_EQ(0u, h) << c.name;
        // The early-started fake thread is stopped by the teardown, like every other thread.
        EXPECT_TRUE(ThreadCountReturnsTo(before)) << c.name;
        // Stop may come twice (roll-back, then the teardown); only its presence and order count.
        std::vector<std::string> calls;
        for (const std::string& s : log.calls) {
            if (calls.empty() || calls.back() != s) calls.push_back(s);
        }
        EXPECT_EQ(c.expectedCalls, calls) << c.name;
    }
}

TEST(Pipeline, ClientStartRefusesBadRecordsAndLeavesNothing) {
    const int before = ThreadCount();
    EXPECT_EQ(0u, KAVRO_ClientStart(nullptr));

    KAVRO_CLIENT_RECORD r;
    std::memset(&r, 0, sizeof r);
    std::strcpy(r.address, "127.0.0.1:9");
    for (uint16_t transport : {2, 3, 0xFFFF}) {
        r.transport = transport;
        EXPECT_EQ(0u, KAVRO_ClientStart(&r)) << "transport " << transport;
    }
    r.transport = 0;
    std::memset(r.address, 'h', 60);  // host part longer than the handle's field
    EXPECT_EQ(0u, KAVRO_ClientStart(&r));
    EXPECT_TRUE(ThreadCountReturnsTo(before));
}

TEST(Pipeline, StopOnZeroOrUnknownHandle) {
    EXPECT_EQ(0, KAVRO_ClientStop(0));
    EXPECT_EQ(0, KAVRO_CloseFile(0));
    EXPECT_EQ(0, KAVRO_ClientStop(0xFFFFFFFFu));
}

TEST(Pipeline, StopAndCloseFileAreInterchangeable) {
    for (auto close : {&KAVRO_ClientStop, &KAVRO_CloseFile}) {
        for (const ConduitSettings& settings : {LiveConduitSettings(), ReplayConduitSettings()}) {
            SourceLog log;
            const uint32_t h = OpenFake(&log, settings);
            ASSERT_NE(0u, h);
            EXPECT_EQ(1, close(h));
            EXPECT_EQ(0, KAVRO_ClientStop(h));
            EXPECT_EQ(0, KAVRO_CloseFile(h));
        }
    }
}

// Every per-client export on a value that does not resolve: its failure result, no effect.
TEST(ClientControl, UnresolvedHandlesFailEveryExport) {
    SourceLog log;
    const uint32_t closed = OpenFake(&log);
    ASSERT_NE(0u, closed);
    ASSERT_EQ(1, KAVRO_ClientStop(closed));

    uint8_t x = 7, y = 7, z = 7;
    int32_t kbps = -5, fps = -5;
    uint8_t table[272];
    std::memset(table, 0xAB, sizeof table);
    struct Case {
        const char* name;
        std::function<int64_t(uint32_t)> call;
        int64_t failure;
    } cases[] = {
        {"StartView", [](uint32_t h) { return KAVRO_ClientStartView(h); }, 0},
        {"StopView", [](uint32_t h) { return KAVRO_ClientStopView(h); }, 0},
        {"SetWnd", [](uint32_t h) { return KAVRO_ClientSetWnd(h, 5); }, 1},
        {"RefreshWnd", [](uint32_t h) { return KAVRO_ClientRefreshWnd(h); }, 0},
        {"VerticalFlip", [](uint32_t h) { return KAVRO_ClientVerticalFlip(h, 1); }, 0},
        {"Rotate180", [](uint32_t h) { return KAVRO_ClientRotate180(h, 1); }, 0},
        {"ShowMDRegion", [](uint32_t h) { return KAVRO_ClientShowMDRegion(h, 3); }, 0},
        {"CapturePicture", [](uint32_t h) { return KAVRO_ClientCapturePicture(h, "/tmp/kavro_never.jpg"); },
         0},
        {"GetBitStreamInfo", [&](uint32_t h) { return KAVRO_GetBitStreamInfo(h, &kbps, &fps); }, 0},
        {"PlayAudio", [](uint32_t h) { return KAVRO_ClientPlayAudio(h); }, 0},
        {"StopAudio", [](uint32_t h) { return KAVRO_ClientStopAudio(h); }, 0},
        {"StartTalk", [](uint32_t h) { return KAVRO_ClientStartTalk(h); }, 0},
        {"StopTalk",
         [](uint32_t h) {
             KAVRO_ClientStopTalk(h);
             return 0;
         },
         0},
        {"StartRecord", [](uint32_t h) { return KAVRO_ClientStartRecord(h, "/tmp/kavro_never.rec", 1); }, 0},
        {"StopRecord", [](uint32_t h) { return KAVRO_ClientStopRecord(h); }, 0},
        {"StartAlarmRecord",
         [](uint32_t h) { return KAVRO_ClientStartAlarmRecord(h, "/tmp/kavro_never_alarm.rec", 1); }, 0},
        {"StopAlarmRecord", [](uint32_t h) { return KAVRO_ClientStopAlarmRecord(h); }, 0},
        {"PTZCtrl", [](uint32_t h) { return KAVRO_ClientPTZCtrl(h, 1, 2); }, 0},
        {"SetVideoParam", [](uint32_t h) { return KAVRO_ClientSetVideoParam(h, 1, 2, 3); }, 0},
        {"GetVideoParam", [&](uint32_t h) { return KAVRO_ClientGetVideoParam(h, &x, &y, &z); }, 0},
        {"GetMDInfo", [&](uint32_t h) { return KAVRO_ClientGetMDInfo(h, table); }, 0},
        {"SaveMDInfo", [&](uint32_t h) { return KAVRO_ClientSaveMDInfo(h, table); }, 0},
        {"StartMD", [](uint32_t h) { return KAVRO_ClientStartMD(h); }, 0},
        {"StopMD", [](uint32_t h) { return KAVRO_ClientStopMD(h); }, 0},
        {"StopAlarm", [](uint32_t h) { return KAVRO_ClientStopAlarm(h, 1); }, 0},
    };
    for (uint32_t h : {0u, closed}) {
        for (const Case& c : cases) {
            EXPECT_EQ(c.failure, c.call(h)) << c.name << " on " << h;
        }
    }
    EXPECT_EQ(-5, kbps);
    EXPECT_EQ(-5, fps);
    EXPECT_EQ(7, x + 0);
    EXPECT_EQ(0xAB, table[0]);
    for (const char* f : {"/tmp/kavro_never.rec", "/tmp/kavro_never_alarm.rec", "/tmp/kavro_never.jpg"}) {
        EXPECT_NE(0, access(f, F_OK)) << f;
    }
    EXPECT_EQ(1, KAVRO_ClientShowcallback(0, 0, 0));
}

TEST(ClientControl, FieldExportsWriteTheirField) {
    SourceLog log;
    const uint32_t h = OpenFake(&log);
    ASSERT_NE(0u, h);
    HandleRef ref = AcquireClient(h);
    ASSERT_TRUE(ref);
    ClientHandle* c = ref.get();

    EXPECT_EQ(1, KAVRO_ClientStartView(h));
    EXPECT_EQ(1, c->viewOn.load());
    EXPECT_EQ(1, KAVRO_ClientStopView(h));
    EXPECT_EQ(0, c->viewOn.load());
    EXPECT_EQ(0, KAVRO_ClientRefreshWnd(h)) << "view stopped";

    EXPECT_EQ(1, KAVRO_ClientPlayAudio(h));
    EXPECT_EQ(1, c->audioOn.load());
    EXPECT_EQ(1, KAVRO_ClientStopAudio(h));
    EXPECT_EQ(0, c->audioOn.load());

    EXPECT_EQ(h, KAVRO_ClientVerticalFlip(h, 1));
    EXPECT_EQ(1, c->verticalFlip.load());
    EXPECT_EQ(h, KAVRO_ClientRotate180(h, 1));
    EXPECT_EQ(1, c->rotate180.load());
    EXPECT_EQ(1, KAVRO_ClientShowMDRegion(h, 2));
    EXPECT_EQ(2, c->showMdRegion.load());

    c->measuredKbps = 2000;
    c->measuredFps = 25;
    int32_t kbps = 0, fps = 0;
    EXPECT_EQ(1, KAVRO_GetBitStreamInfo(h, &kbps, &fps));
    EXPECT_EQ(2000, kbps);
    EXPECT_EQ(25, fps);
    EXPECT_EQ(0, KAVRO_GetBitStreamInfo(h, nullptr, &fps));

    // The fake source has no display: picture exports that need one fail.
    EXPECT_EQ(0, KAVRO_ClientCapturePicture(h, "/tmp/kavro_nodisplay.jpg"));
    EXPECT_EQ(0, KAVRO_ClientCapturePicture(h, ""));
    EXPECT_EQ(0, KAVRO_ClientCapturePicture(h, nullptr));
    EXPECT_EQ(1, KAVRO_ClientSetWnd(h, 0));

    ref.Release();
    EXPECT_EQ(1, KAVRO_ClientStop(h));
}

TEST(ClientControl, StopViewWaitsForTheDisplayToLeaveItsPicture) {
    SourceLog log;
    const uint32_t h = OpenFake(&log);
    ASSERT_NE(0u, h);
    ClientHandle* c = AcquireClient(h).get();  // stays alive until the close below
    c->viewOn = 1;
    c->displayBusy = 1;

    auto result = std::async(std::launch::async, [h] { return KAVRO_ClientStopView(h); });
    EXPECT_EQ(std::future_status::timeout, result.wait_for(std::chrono::milliseconds(100)));
    EXPECT_EQ(0, c->viewOn.load()) << "view is switched off before the wait";
    c->displayBusy = 0;
    ASSERT_EQ(std::future_status::ready, result.wait_for(std::chrono::seconds(5)));
    EXPECT_EQ(1, result.get());

    // Not busy: returns at once.
    EXPECT_TRUE(FinishesWithin([h] { KAVRO_ClientStopView(h); }, 2000));
    EXPECT_EQ(1, KAVRO_ClientStop(h));
}

TEST(ClientControl, RecordExports) {
    using StartFn = KAVRO_BOOL (*)(KAVRO_HANDLE, const char*, int32_t);
    using StopFn = KAVRO_BOOL (*)(KAVRO_HANDLE);
    struct Side {
        const char* name;
        StartFn start;
        StopFn stop;
        char (ClientHandle::*path)[256];
        Shared<uint32_t> ClientHandle::*startTick;
        Shared<int32_t> ClientHandle::*durationMs;
    } sides[] = {
        {"record", KAVRO_ClientStartRecord, KAVRO_ClientStopRecord, &ClientHandle::recordPath,
         &ClientHandle::recordStartTick, &ClientHandle::recordDurationMs},
        {"alarm record", KAVRO_ClientStartAlarmRecord, KAVRO_ClientStopAlarmRecord,
         &ClientHandle::alarmRecordPath, &ClientHandle::alarmRecordStartTick,
         &ClientHandle::alarmRecordDurationMs},
    };
    const std::string dir = TempDir();
    for (const Side& s : sides) {
        SourceLog log;
        const uint32_t h = OpenFake(&log);
        ASSERT_NE(0u, h);
        ClientHandle* c = AcquireClient(h).get();

        EXPECT_EQ(0, s.stop(h)) << s.name << ": nothing running";
        EXPECT_EQ(0, s.start(h, nullptr, 0)) << s.name;
        EXPECT_EQ(0, s.start(h, "", 0)) << s.name;
        const std::string tooLong = dir + "/" + std::string(256, 'p');
        EXPECT_EQ(0, s.start(h, tooLong.c_str(), 0)) << s.name << ": path that does not fit";
        EXPECT_STREQ("", c->*s.path) << s.name;

        const std::string path = dir + "/sub/" + s.name + ".rec";
        ASSERT_EQ(1, s.start(h, path.c_str(), 7)) << s.name;
        EXPECT_STREQ(path.c_str(), c->*s.path);
        EXPECT_EQ(7000, (c->*s.durationMs).load());
        const uint32_t tick = (c->*s.startTick).load();

        // A second start changes nothing.
        EXPECT_EQ(0, s.start(h, (dir + "/other.rec").c_str(), 3)) << s.name;
        EXPECT_STREQ(path.c_str(), c->*s.path);
        EXPECT_EQ(7000, (c->*s.durationMs).load());
        EXPECT_EQ(tick, (c->*s.startTick).load());

        EXPECT_EQ(1, s.stop(h)) << s.name;
        EXPECT_EQ(0, s.stop(h)) << s.name;

        // The file was written: it starts with the record magic.
        FILE* f = std::fopen(path.c_str(), "rb");
        ASSERT_NE(nullptr, f) << path;
        char magic[kRecordMagicSize];
        EXPECT_EQ(kRecordMagicSize, std::fread(magic, 1, sizeof magic, f));
        std::fclose(f);
        EXPECT_EQ(0, std::memcmp(kRecordMagic, magic, kRecordMagicSize));
        std::remove(path.c_str());

        // Durations: 0 or less is no limit; very long ones saturate instead of wrapping.
        struct Dur {
            int32_t seconds;
            int32_t ms;
        } durations[] = {{0, 0},
                         {-3, 0},
                         {1, 1000},
                         {std::numeric_limits<int32_t>::max(), std::numeric_limits<int32_t>::max()}};
        for (const Dur& d : durations) {
            ASSERT_EQ(1, s.start(h, path.c_str(), d.seconds)) << s.name << " " << d.seconds;
            EXPECT_EQ(d.ms, (c->*s.durationMs).load()) << s.name << " " << d.seconds;
            EXPECT_EQ(1, s.stop(h));
        }
        std::remove(path.c_str());
        EXPECT_EQ(1, KAVRO_ClientStop(h));
    }
}
