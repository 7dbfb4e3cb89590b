// The library's camera commands, events and talk against the camera simulator.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "api/ClientHandle.h"
#include "kavro.h"
#include "support/camsim_process.h"
#include "support/sound_support.h"

namespace {

using Clock = std::chrono::steady_clock;
using kavro::test::CamsimProcess;

constexpr int kChannel = 2;
constexpr char kSessionId[] = "48151623";

long MsSince(Clock::time_point t) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

template <typename P>
bool Eventually(P pred, int ms) {
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < end) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return pred();
}

// The request as the simulator logs it: line ends written as \n.
std::string Escaped(std::string s) {
    std::string out;
    for (char c : s) out += c == '\n' ? std::string("\\n") : std::string(1, c);
    return out;
}

// Log entries whose first field is `kind` ("MCTP", "TALK", ...), without that field.
std::vector<std::string> LogEntries(const CamsimProcess& cam, const std::string& kind) {
    std::vector<std::string> out;
    std::ifstream in(cam.LogPath());
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(kind + "\t", 0) == 0) out.push_back(line.substr(kind.size() + 1));
    return out;
}

struct Notice {
    int32_t code;
    int32_t argument;
    Clock::time_point at;
};
std::mutex g_noticeMutex;
std::vector<Notice> g_notices;

int32_t OnNotify(uint32_t, int32_t code, int32_t argument, int32_t) {
    std::lock_guard<std::mutex> lock(g_noticeMutex);
    g_notices.push_back({code, argument, Clock::now()});
    return 0;
}

std::vector<Notice> NoticesOf(int32_t code) {
    std::lock_guard<std::mutex> lock(g_noticeMutex);
    std::vector<Notice> out;
    for (const auto& n : g_notices)
        if (n.code == code) out.push_back(n);
    return out;
}

// Sends `request` on a fresh connection and collects what comes back until the camera closes
// the connection or `ms` pass.
struct RawResult {
    std::string reply;
    bool closed = false;
};
RawResult RawExchange(uint16_t port, const std::string& request, int ms) {
    RawResult r;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
        if (fd >= 0) close(fd);
        return r;
    }
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0) continue;
        char buf[2048];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) {
            r.closed = true;
            break;
        }
        r.reply.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return r;
}

KAVRO_CLIENT_RECORD Record(uint16_t port) {
    KAVRO_CLIENT_RECORD r;
    std::memset(&r, 0, sizeof r);
    r.transport = 1;
    r.channel = kChannel;
    std::snprintf(r.address, sizeof r.address, "127.0.0.1:%u", static_cast<unsigned>(port));
    return r;
}

// A camera on the simulator and one client of it; stopped within a bound.
class CamsimMctp : public ::testing::Test {
protected:
    // Without a device the live sound players end at once; talk needs files as devices.
    virtual bool WithSoundDevice() const { return false; }

    void SetUp() override {
        sound_ = std::make_unique<kavro_test::SoundAlsaConfig>(WithSoundDevice());
        {
            std::lock_guard<std::mutex> lock(g_noticeMutex);
            g_notices.clear();
        }
        ASSERT_EQ(1, KAVRO_Startup(0, 0, &OnNotify, 0));
        KAVRO_SetWaitTime(2, 0, 0);
    }
    void TearDown() override {
        if (handle_) {
            auto done = std::async(std::launch::async, [h = handle_] { return KAVRO_ClientStop(h); });
            EXPECT_EQ(done.wait_for(std::chrono::seconds(15)), std::future_status::ready)
                << "client stop hangs";
        }
        KAVRO_SetWaitTime(5, 1, 10);
        KAVRO_Cleanup();
    }
    void Start(std::vector<std::string> args) {
        args.insert(args.end(), {"--session-id", kSessionId, "--audio", "none"});
        cam_ = std::make_unique<CamsimProcess>(args);
        ASSERT_TRUE(cam_->Running());
        const KAVRO_CLIENT_RECORD r = Record(cam_->Port());
        handle_ = KAVRO_ClientStart(&r);
        ASSERT_NE(0u, handle_);
    }
    // Waits for the request logged after the `before` earlier ones and returns it.
    std::string NextRequest(size_t before, int ms = 3000) {
        std::vector<std::string> e;
        Eventually([&] { return (e = LogEntries(*cam_, "MCTP")).size() > before; }, ms);
        return e.size() > before ? e[before] : std::string("<none>");
    }
    // The requests other than event registration and keep-alives, which arrive on their own time.
    std::vector<std::string> Commands() {
        std::vector<std::string> out;
        for (auto& e : LogEntries(*cam_, "MCTP"))
            if (e.rfind("CMD:ALIVE", 0) != 0) out.push_back(e);
        return out;
    }

    std::unique_ptr<kavro_test::SoundAlsaConfig> sound_;
    std::unique_ptr<CamsimProcess> cam_;
    KAVRO_HANDLE handle_ = 0;
};

TEST_F(CamsimMctp, EveryCommandSucceedsAndSendsExactlyItsBytes) {
    Start({});
    kavro::MdRegionTable saved{};
    for (int i = 0; i < 16; ++i) {
        saved.enable[i] = static_cast<uint8_t>(i % 2);
        for (int k = 0; k < 4; ++k) saved.rect[i][k] = i * 100 + k * 7 - 3;
    }
    std::string savedLines;
    for (int i = 0; i < 16; ++i)
        savedLines += "@1@2@" + std::to_string(i) + "@" + std::to_string(i % 2) + "@" +
                      std::to_string(saved.rect[i][0]) + "@" + std::to_string(saved.rect[i][1]) + "@" +
                      std::to_string(saved.rect[i][2]) + "@" + std::to_string(saved.rect[i][3]) + "\n";
    uint8_t x = 0, y = 0, z = 0;
    kavro::MdRegionTable read{};

    struct Case {
        const char* what;
        std::function<int()> call;
        std::string request;
    };
    const Case cases[] = {
        {"ptz", [&] { return KAVRO_ClientPTZCtrl(handle_, 5, 9); }, "CMD:PTZ MCTP/1.0\n@2@5@9\nEND\n"},
        {"set video", [&] { return KAVRO_ClientSetVideoParam(handle_, 11, 22, 33); },
         "CMD:VCTRL MCTP/1.0 CS\n@2@2@11@22@33@\nEND\n"},
        {"get video", [&] { return KAVRO_ClientGetVideoParam(handle_, &x, &y, &z); },
         "CMD:VCTRL MCTP/1.0 CS\n@1@2@0@0@0@\nEND\n"},
        {"save md", [&] { return KAVRO_ClientSaveMDInfo(handle_, &saved); },
         "CMD:MD MCTP/1.0 CS\n" + savedLines + "END\n"},
        {"get md", [&] { return KAVRO_ClientGetMDInfo(handle_, &read); },
         "CMD:MD MCTP/1.0 CS\n@2@2@0@0@0@0@0@0\nEND\n"},
        {"start md", [&] { return KAVRO_ClientStartMD(handle_); },
         "CMD:MD MCTP/1.0 CS\n@3@2@0@0@0@0@0@0\nEND\n"},
        {"stop md", [&] { return KAVRO_ClientStopMD(handle_); },
         "CMD:MD MCTP/1.0 CS\n@4@2@0@0@0@0@0@0\nEND\n"},
        {"stop alarm", [&] { return KAVRO_ClientStopAlarm(handle_, 6); },
         "CMD:ALARM MCTP/1.0 CS\n@1@6\nEND\n"},
    };
    size_t logged = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(1, c.call());
        std::vector<std::string> commands;
        Eventually([&] { return (commands = Commands()).size() > logged; }, 3000);
        ASSERT_EQ(commands.size(), logged + 1) << "one request per command";
        EXPECT_EQ(commands[logged], Escaped(c.request));
        ++logged;
    }
    // What was stored comes back.
    EXPECT_EQ(x, 11);
    EXPECT_EQ(y, 22);
    EXPECT_EQ(z, 33);
    EXPECT_EQ(0, std::memcmp(&read, &saved, sizeof saved));
}

TEST_F(CamsimMctp, EventRegistrationCarriesTheSessionAndChannel) {
    Start({});
    std::vector<std::string> alive;
    ASSERT_TRUE(Eventually([&] { return (alive = LogEntries(*cam_, "MCTP")).size() >= 2; }, 8000));
    EXPECT_EQ(alive[0], Escaped(std::string("CMD:ALIVE MCTP/1.0 CS\n@") + kSessionId + "@2\nEND\n"));
    EXPECT_EQ(alive[1], Escaped("CMD:ALIVE MCTP/1.0 CS\nEND\n")) << "first keep-alive";
}

TEST_F(CamsimMctp, UnansweredCommandsFailWithinTheirTimeouts) {
    Start({"--mctp-no-reply"});
    kavro::MdRegionTable table{};
    uint8_t x = 0, y = 0, z = 0;
    struct Case {
        const char* what;
        std::function<int()> call;
        long receiveMs;
    };
    const std::vector<Case> cases = {
        {"ptz", [&] { return KAVRO_ClientPTZCtrl(handle_, 1, 1); }, 500},
        {"set video", [&] { return KAVRO_ClientSetVideoParam(handle_, 1, 2, 3); }, 3000},
        {"get video", [&] { return KAVRO_ClientGetVideoParam(handle_, &x, &y, &z); }, 3000},
        {"get md", [&] { return KAVRO_ClientGetMDInfo(handle_, &table); }, 3000},
        {"save md", [&] { return KAVRO_ClientSaveMDInfo(handle_, &table); }, 5000},
        {"start md", [&] { return KAVRO_ClientStartMD(handle_); }, 3000},
        {"stop md", [&] { return KAVRO_ClientStopMD(handle_); }, 3000},
        {"stop alarm", [&] { return KAVRO_ClientStopAlarm(handle_, 1); }, 3000},
    };
    // All at once: each uses a connection of its own, and the waits would add up otherwise.
    struct Result {
        int value;
        long ms;
    };
    std::vector<std::future<Result>> results;
    for (const auto& c : cases)
        results.push_back(std::async(std::launch::async, [&c] {
            const auto start = Clock::now();
            const int v = c.call();
            return Result{v, MsSince(start)};
        }));
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].what);
        ASSERT_EQ(results[i].wait_for(std::chrono::seconds(10)), std::future_status::ready);
        const Result r = results[i].get();
        EXPECT_EQ(0, r.value);
        EXPECT_GE(r.ms, cases[i].receiveMs - 50) << "the camera took the command and stayed silent";
        EXPECT_LE(r.ms, cases[i].receiveMs + 1500);
    }
    EXPECT_EQ(Commands().size(), cases.size());
}

TEST_F(CamsimMctp, PushedMotionAndAlarmEventsAreRateLimited) {
    const auto started = Clock::now();
    Start({"--motion-every", "100", "--alarm-every", "150"});
    ASSERT_TRUE(Eventually([] { return !NoticesOf(2).empty() && !NoticesOf(4).empty(); }, 8000));
    std::this_thread::sleep_for(std::chrono::milliseconds(1800));
    // Every notification was raised since the start, at most one per 500 ms (delivery may bunch
    // them up, so their arrival times say nothing).
    const long mostAllowed = MsSince(started) / 500 + 1;
    struct Case {
        int32_t code;
        const char* pushed;
        int32_t argument;
    };
    for (const Case& c : {Case{2, "PUSH-MD", 1 << 0 | 1 << 3}, Case{4, "PUSH-ALARM", 1}}) {
        SCOPED_TRACE(c.code);
        const std::vector<Notice> n = NoticesOf(c.code);
        const size_t pushed = LogEntries(*cam_, c.pushed).size();
        EXPECT_GE(n.size(), 3u) << "a lasting event is reported again";
        EXPECT_LE(static_cast<long>(n.size()), mostAllowed);
        EXPECT_GE(pushed, 2 * n.size()) << "the camera pushed many more than were passed on";
        for (const auto& e : n) EXPECT_EQ(e.argument, c.argument);
    }
}

// Requests the library never sends: refused without storing anything, or the connection ends.
TEST(CamsimMctpInput, MalformedRequestsChangeNothing) {
    CamsimProcess cam;
    ASSERT_TRUE(cam.Running());
    std::string fifteen;
    for (int i = 0; i < 15; ++i) fifteen += "@1@2@" + std::to_string(i) + "@1@1@2@3@4\n";
    std::string swapped;
    for (int i = 0; i < 16; ++i) swapped += "@1@2@" + std::to_string(i < 2 ? 1 - i : i) + "@1@1@2@3@4\n";
    const std::string hugeTalkFrame("\xFF\xFF\xFF\x7F\0\0\0\0", 8);
    struct Case {
        const char* what;
        std::string request;
        std::string reply;
        bool closes;
    };
    const Case cases[] = {
        {"15 region lines", "CMD:MD MCTP/1.0 CS\n" + fifteen + "END\n",
         "CMD:MD MCTP/1.0\n@1@2@0@0@0@0@0@0\nEND\n", false},
        {"regions out of order", "CMD:MD MCTP/1.0 CS\n" + swapped + "END\n",
         "CMD:MD MCTP/1.0\n@1@2@0@0@0@0@0@0\nEND\n", false},
        {"video value above 255", "CMD:VCTRL MCTP/1.0 CS\n@2@2@300@1@1@\nEND\n",
         "CMD:VCTRL MCTP/1.0\n@2@2@0@\nEND\n", false},
        {"channel out of range", "CMD:VCTRL MCTP/1.0 CS\n@1@999@0@0@0@\nEND\n", "", false},
        {"request without end", "CMD:MD MCTP/1.0 CS\n" + std::string(9000, '@'), "", true},
        {"talk frame longer than any voice frame", "CMD:TALK MCTP/1.0 CS\n@2@0@\nEND\n" + hugeTalkFrame,
         "CMD:TALK MCTP/1.0\n@0@1@\n", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const RawResult r = RawExchange(cam.Port(), c.request, c.closes ? 3000 : 400);
        EXPECT_EQ(r.reply, c.reply);
        EXPECT_EQ(r.closed, c.closes);
    }
    // Nothing of the above was stored: the regions and video settings read back as they started.
    const RawResult md = RawExchange(cam.Port(), "CMD:MD MCTP/1.0 CS\n@2@2@0@0@0@0@0@0\nEND\n", 400);
    EXPECT_EQ(md.reply.find("@1@1@2@3@4"), std::string::npos) << md.reply;
    EXPECT_EQ(RawExchange(cam.Port(), "CMD:VCTRL MCTP/1.0 CS\n@1@2@0@0@0@\nEND\n", 400).reply,
              "CMD:VCTRL MCTP/1.0\n@1@2@128@128@128@\nEND\n");
}

class CamsimTalk : public CamsimMctp {
protected:
    bool WithSoundDevice() const override { return true; }
    void SetUp() override {
        CamsimMctp::SetUp();
        const std::vector<int16_t> mic = kavro_test::SoundTone(500.0, 8000 * 20);
        ASSERT_TRUE(kavro_test::SoundWriteFile(sound_->InPath(), mic.data(), mic.size() * 2));
        record_ = sound_->Dir() + "/talk-record.raw";
    }
    // Summaries the simulator logs as each talk connection ends.
    std::vector<std::string> TalkEnds() { return LogEntries(*cam_, "TALK"); }

    std::string record_;
};

TEST_F(CamsimTalk, TwoWayTalkDeliversDecodableFramesAndPlaysTheCamerasTone) {
    Start({"--talk-two-way", "--talk-record", record_});
    ASSERT_EQ(1, KAVRO_ClientStartTalk(handle_));
    // 25 frames of microphone sound reached the camera and decoded to the microphone's tone.
    ASSERT_TRUE(Eventually([&] { return kavro_test::SoundReadFile(record_).size() >= 25u * 640; }, 8000));
    ASSERT_TRUE(
        Eventually([&] { return kavro_test::SoundReadFile(sound_->OutPath()).size() >= 10u * 640; }, 5000));
    KAVRO_ClientStopTalk(handle_);

    EXPECT_NEAR(kavro_test::SoundDominantFrequency(
                    kavro_test::SoundSamplesFromBytes(kavro_test::SoundReadFile(record_))),
                500.0, 20.0);
    EXPECT_NEAR(kavro_test::SoundDominantFrequency(
                    kavro_test::SoundSamplesFromBytes(kavro_test::SoundReadFile(sound_->OutPath()))),
                1000.0, 20.0);
    std::vector<std::string> ends;
    ASSERT_TRUE(Eventually([&] { return !(ends = TalkEnds()).empty(); }, 3000));
    ASSERT_EQ(ends.size(), 1u);
    std::string summary = ends[0];
    long frames = -1, decoded = -1, bad = -1, backwards = -1, first = -1;
    ASSERT_EQ(5, std::sscanf(summary.c_str(),
                             "frames=%ld\tdecoded=%ld\tbadHeads=%ld\tticksBackwards=%ld\tfirstLength=%ld",
                             &frames, &decoded, &bad, &backwards, &first))
        << summary;
    EXPECT_GE(frames, 25);
    EXPECT_EQ(decoded, frames);
    EXPECT_EQ(bad, 0);
    EXPECT_EQ(backwards, 0);
    EXPECT_EQ(first, 164) << "80 words of G.726 at 32 kbit/s plus the 4-byte frame header";
    const auto commands = Commands();
    ASSERT_EQ(commands.size(), 1u);
    EXPECT_EQ(commands[0], Escaped("CMD:TALK MCTP/1.0 CS\n@2@0@\nEND\n"));
}

TEST_F(CamsimTalk, DroppedTalkConnectionIsReopened) {
    Start({"--talk-drop-after", "5"});
    ASSERT_EQ(1, KAVRO_ClientStartTalk(handle_));
    std::vector<std::string> ends;
    EXPECT_TRUE(Eventually([&] { return (ends = TalkEnds()).size() >= 2; }, 8000));
    KAVRO_ClientStopTalk(handle_);
    ASSERT_GE(ends.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_NE(ends[i].find("frames=5\tdecoded=5\tbadHeads=0\t"), std::string::npos) << ends[i];
        EXPECT_NE(ends[i].find("end=drop"), std::string::npos) << ends[i];
    }
    EXPECT_GE(Commands().size(), 2u) << "talk asked for again on a new connection";
    EXPECT_EQ(kavro_test::SoundReadFile(sound_->OutPath()).size(), 0u) << "one way: nothing played";
}

}  // namespace
