#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <future>
#include <string>
#include <vector>

#include "api/ClientHandle.h"
#include "control/MctpCommands.h"
#include "platform/Socket.h"
#include "platform/Tick.h"
#include "support/control_loopback.h"

using namespace kavro;
using kavro_test::ControlOneShotCamera;
using Mode = ControlOneShotCamera::Mode;

namespace {

constexpr uint8_t kChannel = 3;

void PointAt(ClientHandle& c, uint16_t port) {
    strcpy(c.host, "127.0.0.1");
    c.controlPort = port;
    c.port = port;
    c.channel = kChannel;
}

MdRegionTable SampleTable() {
    MdRegionTable t = {};
    for (int i = 0; i < 16; ++i) {
        t.enable[i] = static_cast<uint8_t>(i % 3 == 0 ? 1 : 0);
        t.rect[i][0] = i * 10;
        t.rect[i][1] = i * 20;
        t.rect[i][2] = 700 - i;
        t.rect[i][3] = 570 - i;
    }
    t.enable[15] = 200;
    t.rect[15][0] = -4;
    return t;
}

MdRegionTable Sentinel() {
    MdRegionTable t;
    memset(&t, 0x5A, sizeof t);
    return t;
}

std::string MdReadReply(const MdRegionTable& t, int regionLines = 16, int badLine = -1) {
    std::string r = "CMD:MD MCTP/1.0 CS\n";
    for (int i = 0; i < regionLines; ++i) {
        char line[128];
        if (i == badLine)
            snprintf(line, sizeof line, "@2@3@%d@1@2@3\n", i);
        else
            snprintf(line, sizeof line, "@2@%d@%d@%d@%d@%d@%d@%d\n", kChannel, i, t.enable[i], t.rect[i][0],
                     t.rect[i][1], t.rect[i][2], t.rect[i][3]);
        r += line;
    }
    return r + "END\n";
}

std::string SaveRequest(const MdRegionTable& t) {
    std::string r = "CMD:MD MCTP/1.0 CS\n";
    for (int i = 0; i < 16; ++i) {
        char line[128];
        snprintf(line, sizeof line, "@1@%d@%d@%d@%d@%d@%d@%d\n", kChannel, i, t.enable[i], t.rect[i][0],
                 t.rect[i][1], t.rect[i][2], t.rect[i][3]);
        r += line;
    }
    return r + "END\n";
}

std::string MdCodeRequest(int code) {
    return "CMD:MD MCTP/1.0 CS\n@" + std::to_string(code) + "@3@0@0@0@0@0@0\nEND\n";
}

bool SameTable(const MdRegionTable& a, const MdRegionTable& b) { return memcmp(&a, &b, sizeof a) == 0; }

struct Case {
    const char* name;
    std::function<int(ClientHandle&)> run;
    const char* request;  // nullptr: the case sets expectRequest itself
    Mode mode;
    std::string reply;
    int result;
    std::function<void(ClientHandle&)> check;
};

struct VideoOut {
    uint8_t x = 9, y = 9, z = 9;
};

}  // namespace

// Every command: exact request bytes, then each kind of reply.
TEST(CameraCommands, RequestsAndReplies) {
    const char* kVideoSet = "CMD:VCTRL MCTP/1.0 CS\n@2@3@44@0@255@\nEND\n";
    const char* kVideoGet = "CMD:VCTRL MCTP/1.0 CS\n@1@3@0@0@0@\nEND\n";
    const char* kAlarm = "CMD:ALARM MCTP/1.0 CS\n@1@7\nEND\n";
    const std::string kMdStart = MdCodeRequest(3), kMdStop = MdCodeRequest(4), kMdRead = MdCodeRequest(2);
    const MdRegionTable sample = SampleTable();
    const std::string kSave = SaveRequest(sample);
    static VideoOut out;
    static MdRegionTable table;

    auto setVideo = [](ClientHandle& c) { return SetVideoParams(&c, 300, 0, -1); };
    auto getVideo = [](ClientHandle& c) {
        out = VideoOut();
        return GetVideoParams(&c, &out.x, &out.y, &out.z);
    };
    auto getMd = [](ClientHandle& c) {
        table = Sentinel();
        return GetMdInfo(&c, &table);
    };
    auto saveMd = [sample](ClientHandle& c) { return SaveMdInfo(&c, &sample); };
    auto videoUntouched = [](ClientHandle&) {
        EXPECT_EQ(9, out.x);
        EXPECT_EQ(9, out.z);
    };
    auto mdUntouched = [](ClientHandle& c) {
        EXPECT_TRUE(SameTable(Sentinel(), c.mdRegions));
        EXPECT_TRUE(SameTable(Sentinel(), table));
    };
    auto saveUntouched = [](ClientHandle& c) { EXPECT_TRUE(SameTable(Sentinel(), c.mdRegions)); };
    const std::string ok3 = "CMD:VCTRL MCTP/1.0\n@2@3@1@\nEND\n";

    std::vector<Case> cases = {
        {"ptz reply", [](ClientHandle& c) { return PtzCommand(&c, -1, 2147483647); },
         "CMD:PTZ MCTP/1.0\n@3@-1@2147483647\nEND\n", Mode::kReply, "whatever", 1, nullptr},
        {"ptz closed without reply", [](ClientHandle& c) { return PtzCommand(&c, 5, 6); },
         "CMD:PTZ MCTP/1.0\n@3@5@6\nEND\n", Mode::kClose, "", 1, nullptr},

        {"set video done", setVideo, kVideoSet, Mode::kReply, ok3, 1, nullptr},
        {"set video refused", setVideo, kVideoSet, Mode::kReply, "CMD:VCTRL MCTP/1.0\n@2@3@0@\nEND\n", 0,
         nullptr},
        {"set video short line", setVideo, kVideoSet, Mode::kReply, "CMD:VCTRL MCTP/1.0\n@2@3@\nEND\n", 0,
         nullptr},
        {"set video two lines", setVideo, kVideoSet, Mode::kReply, "CMD:VCTRL MCTP/1.0\n@2@3@1@\n", 0,
         nullptr},
        {"set video closed", setVideo, kVideoSet, Mode::kClose, "", 0, nullptr},
        // A reply in two segments is not reassembled: only the first receive counts.
        {"set video split reply", setVideo, kVideoSet, Mode::kSplitReply, ok3, 0, nullptr},
        {"set video oversized reply", setVideo, kVideoSet, Mode::kReply,
         "CMD:VCTRL MCTP/1.0\n" + std::string(3000, '@') + "\n@2@3@1@\nEND\n", 0, nullptr},

        {"get video", getVideo, kVideoGet, Mode::kReply, "CMD:VCTRL MCTP/1.0\n@1@0@50@60@70@\nEND\n", 1,
         [](ClientHandle&) {
             EXPECT_EQ(50, out.x);
             EXPECT_EQ(60, out.y);
             EXPECT_EQ(70, out.z);
         }},
        {"get video low bytes", getVideo, kVideoGet, Mode::kReply,
         "CMD:VCTRL MCTP/1.0\n@1@0@300@-1@256@\nEND\n", 1,
         [](ClientHandle&) {
             EXPECT_EQ(44, out.x);
             EXPECT_EQ(255, out.y);
             EXPECT_EQ(0, out.z);
         }},
        {"get video four values", getVideo, kVideoGet, Mode::kReply, "CMD:VCTRL MCTP/1.0\n@1@0@50@60@\nEND\n",
         0, videoUntouched},
        {"get video closed", getVideo, kVideoGet, Mode::kClose, "", 0, videoUntouched},

        {"get md", getMd, kMdRead.c_str(), Mode::kReply, MdReadReply(sample), 1,
         [sample](ClientHandle& c) {
             EXPECT_TRUE(SameTable(sample, table));
             EXPECT_TRUE(SameTable(sample, c.mdRegions));
         }},
        {"get md 17 lines", getMd, kMdRead.c_str(), Mode::kReply, MdReadReply(sample, 15), 0, mdUntouched},
        {"get md bad region line", getMd, kMdRead.c_str(), Mode::kReply, MdReadReply(sample, 16, 9), 0,
         mdUntouched},
        {"get md wrong header", getMd, kMdRead.c_str(), Mode::kReply,
         "CMD:VCTRL MCTP/1.0\n" + MdReadReply(sample).substr(19), 0, mdUntouched},
        {"get md closed", getMd, kMdRead.c_str(), Mode::kClose, "", 0, mdUntouched},

        {"save md done", saveMd, kSave.c_str(), Mode::kReply, "CMD:MD MCTP/1.0\n@1@3@1@0@0@0@0@0\nEND\n", 1,
         [sample](ClientHandle& c) { EXPECT_TRUE(SameTable(sample, c.mdRegions)); }},
        {"save md refused", saveMd, kSave.c_str(), Mode::kReply, "CMD:MD MCTP/1.0\n@1@3@2@0@0@0@0@0\nEND\n",
         0, saveUntouched},
        {"save md seven values", saveMd, kSave.c_str(), Mode::kReply,
         "CMD:MD MCTP/1.0\n@1@3@1@0@0@0@0\nEND\n", 0, saveUntouched},

        {"start md done", [](ClientHandle& c) { return StartMd(&c); }, kMdStart.c_str(), Mode::kReply,
         "CMD:MD MCTP/1.0\n@3@3@1@0@0@0@0@0\nEND\n", 1, [](ClientHandle& c) { EXPECT_EQ(1, c.mdEnabled); }},
        {"start md refused keeps flag", [](ClientHandle& c) { return StartMd(&c); }, kMdStart.c_str(),
         Mode::kReply, "CMD:MD MCTP/1.0\n@3@3@0@0@0@0@0@0\nEND\n", 0,
         [](ClientHandle& c) { EXPECT_EQ(1, c.mdEnabled); }},
        {"stop md done",
         [](ClientHandle& c) {
             c.mdEnabled = 1;
             return StopMd(&c);
         },
         kMdStop.c_str(), Mode::kReply, "CMD:MD MCTP/1.0\n@4@3@1@0@0@0@0@0\nEND\n", 1,
         [](ClientHandle& c) { EXPECT_EQ(0, c.mdEnabled); }},

        {"stop alarm done", [](ClientHandle& c) { return StopAlarm(&c, 7); }, kAlarm, Mode::kReply,
         "CMD:ALARM MCTP/1.0\n@1@7@1\nEND\n", 1, nullptr},
        {"stop alarm refused", [](ClientHandle& c) { return StopAlarm(&c, 7); }, kAlarm, Mode::kReply,
         "CMD:ALARM MCTP/1.0\n@1@7@0\nEND\n", 0, nullptr},
        {"stop alarm garbage", [](ClientHandle& c) { return StopAlarm(&c, 7); }, kAlarm, Mode::kReply,
         "HTTP/1.0 400 Bad\n\n\n", 0, nullptr},
    };

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ControlOneShotCamera cam(c.mode, c.reply);
        ClientHandle h;
        PointAt(h, cam.Port());
        h.mdRegions = Sentinel();
        EXPECT_EQ(c.result, c.run(h));
        EXPECT_EQ(std::string(c.request), cam.Request());
        if (c.check) c.check(h);
    }
}

// A camera that accepts and never answers: each command gives up after its own receive time-out.
// All seven run at once so the program stays short.
TEST(CameraCommands, SilentCameraFailsAfterReceiveTimeout) {
    struct Timed {
        const char* name;
        std::function<int(ClientHandle&)> run;
        uint32_t timeoutMs;
    };
    static MdRegionTable table;
    std::vector<Timed> cases = {
        {"ptz", [](ClientHandle& c) { return PtzCommand(&c, 1, 2); }, 500},
        {"set video", [](ClientHandle& c) { return SetVideoParams(&c, 1, 2, 3); }, 3000},
        {"get video",
         [](ClientHandle& c) {
             uint8_t x, y, z;
             return GetVideoParams(&c, &x, &y, &z);
         },
         3000},
        {"get md", [](ClientHandle& c) { return GetMdInfo(&c, &table); }, 3000},
        {"save md", [](ClientHandle& c) { return SaveMdInfo(&c, &table); }, 5000},
        {"start md", [](ClientHandle& c) { return StartMd(&c); }, 3000},
        {"stop alarm", [](ClientHandle& c) { return StopAlarm(&c, 1); }, 3000},
    };
    std::vector<std::unique_ptr<ControlOneShotCamera>> cams;
    std::vector<std::future<std::pair<int, uint32_t>>> results;
    for (const Timed& t : cases) {
        cams.push_back(std::make_unique<ControlOneShotCamera>(Mode::kHold, "", 9000));
        uint16_t port = cams.back()->Port();
        results.push_back(std::async(std::launch::async, [port, run = t.run] {
            ClientHandle h;
            PointAt(h, port);
            uint32_t start = GetTick();
            int r = run(h);
            return std::make_pair(r, GetTick() - start);
        }));
    }
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].name);
        auto [result, elapsed] = results[i].get();
        EXPECT_EQ(0, result);
        EXPECT_GE(elapsed + 20, cases[i].timeoutMs);
        EXPECT_LT(elapsed, cases[i].timeoutMs + 1500);
    }
}

TEST(CameraCommands, UnreachableCamera) {
    // A port nobody listens on: the connection is refused.
    Socket probe;
    ASSERT_TRUE(probe.OpenTcp());
    ASSERT_TRUE(probe.Bind(0));
    uint16_t port = probe.LocalPort();
    probe.Close();

    ClientHandle h;
    PointAt(h, port);
    h.mdEnabled = 1;
    EXPECT_EQ(0, StopMd(&h));
    EXPECT_EQ(0, h.mdEnabled);  // set before anything is sent
    EXPECT_EQ(0, PtzCommand(&h, 1, 1));

    // A host field without its terminating NUL is read only within the field.
    memset(h.host, '1', sizeof h.host);
    EXPECT_EQ(0, StartMd(&h));
    EXPECT_EQ(1, h.mdEnabled);
}

TEST(CameraCommands, NullArgumentsSendNothing) {
    ControlOneShotCamera cam(Mode::kClose);
    ClientHandle h;
    PointAt(h, cam.Port());
    uint8_t x = 0;
    EXPECT_EQ(0, GetVideoParams(&h, &x, nullptr, &x));
    EXPECT_EQ(0, GetMdInfo(&h, nullptr));
    EXPECT_EQ(0, SaveMdInfo(&h, nullptr));
    EXPECT_EQ(0, PtzCommand(nullptr, 1, 1));
    EXPECT_EQ(0, StopAlarm(nullptr, 1));
    // Only this one reaches the camera.
    EXPECT_EQ(1, PtzCommand(&h, 0, 0));
    EXPECT_EQ("CMD:PTZ MCTP/1.0\n@3@0@0\nEND\n", cam.Request());
}
