#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "api/ClientHandle.h"
#include "api/Library.h"

using namespace kavro;

namespace {

KAVRO_CLIENT_RECORD RecordWithAddress(const std::string& address) {
    KAVRO_CLIENT_RECORD r;
    std::memset(&r, 0, sizeof r);
    std::memcpy(r.address, address.data(), std::min(address.size(), sizeof r.address));
    return r;
}

// Leaves traces in fields a fresh client must not inherit.
void Dirty(ClientHandle& h) {
    std::strcpy(h.recordPath, "/tmp/old.rec");
    std::strcpy(h.filePath, "/tmp/old.file");
    std::strcpy(h.host, "old");
    h.byteCount = 1234;
    h.state = 5;
    h.isFile = 1;
    h.notifyWnd = 77;
    h.userData = 99;
    h.mdRegions.enable[3] = 1;
    h.replaySeekPending = 1;
    h.source = reinterpret_cast<CAVSource*>(&h);
    h.talk = reinterpret_cast<CTalk2VS*>(&h);
    h.self = 42;
}

}  // namespace

TEST(InitLiveClient, AddressParsing) {
    const std::string host31(31, 'h');
    const std::string host40(40, 'n');
    struct Case {
        const char* name;
        std::string address;
        std::string host;
        uint16_t port;
        uint8_t fullUrl;
        bool ok;
    } cases[] = {
        {"dotted address alone", "10.0.0.5", "10.0.0.5", 554, 0, true},
        {"with port", "10.0.0.5:8554", "10.0.0.5", 8554, 0, true},
        {"port and path", "10.0.0.5:554/live/ch1", "10.0.0.5", 554, 1, true},
        {"host name", "camera.local:10554", "camera.local", 10554, 0, true},
        {"empty", "", "", 554, 0, true},
        {"only a colon", ":", "", 0, 0, true},
        {"colon without digits", "cam:abc", "cam", 0, 0, true},
        {"digits then junk", "cam:80x", "cam", 80, 0, true},
        {"sign is not a digit", "cam:+80", "cam", 0, 0, true},
        {"space is not a digit", "cam: 80", "cam", 0, 0, true},
        {"highest port", "cam:65535", "cam", 65535, 0, true},
        {"one past 16 bits", "cam:65536", "cam", 0, 0, true},
        {"truncated to 16 bits", "cam:70000", "cam", 70000 - 65536, 0, true},
        {"beyond 64 bits", "cam:99999999999999999999", "cam", 65535, 0, true},  // (10^20-1) mod 2^16
        {"path without port", "10.0.0.5/live", "10.0.0.5/live", 554, 0, true},
        {"slash before the colon", "cam/x:9", "cam/x", 9, 1, true},
        {"second colon", "cam:81:82", "cam", 81, 0, true},
        {"host of 31 characters", host31 + ":1", host31, 1, 0, true},
        {"host of 32 characters", host31 + "h", host31, 554, 0, false},
        {"long host with port", host40 + ":8000/a", std::string(31, 'n'), 8000, 1, false},
    };
    for (const Case& c : cases) {
        ClientHandle h;
        Dirty(h);
        const KAVRO_CLIENT_RECORD r = RecordWithAddress(c.address);
        EXPECT_EQ(c.ok, InitLiveClient(&h, &r)) << c.name;
        EXPECT_EQ(c.address, h.address) << c.name;
        EXPECT_EQ(c.host, h.host) << c.name;
        EXPECT_EQ(c.port, h.port) << c.name;
        EXPECT_EQ(c.port, h.controlPort) << c.name;
        EXPECT_EQ(c.fullUrl, h.fullUrl) << c.name;
    }
}

TEST(InitLiveClient, UnterminatedTextFieldsStayInsideTheirFields) {
    KAVRO_CLIENT_RECORD r;
    std::memset(&r, 'a', sizeof r);  // no terminator anywhere, including in address/userName/password
    ClientHandle h;
    EXPECT_FALSE(InitLiveClient(&h, &r));  // the host part (all of it) does not fit
    EXPECT_EQ(std::string(160, 'a'), h.address);
    EXPECT_EQ(std::string(32, 'a'), h.userName);
    EXPECT_EQ(std::string(65, 'a'), h.password);
    EXPECT_EQ(std::string(31, 'a'), h.host);
    EXPECT_EQ(554, h.port);
}

TEST(InitLiveClient, CopiesTheRecordAndSetsLiveDefaultsOnAClearedHandle) {
    KAVRO_CLIENT_RECORD r = RecordWithAddress("192.168.1.9:8000");
    r.transport = 1;
    r.viewOn = 1;
    r.channel = 3;
    r.videoWnd = 0x400001;
    r.notifyWnd = 0x400002;
    r.notifyMsg = 311;
    r.userData = -7;
    std::strcpy(r.userName, "admin");
    std::strcpy(r.password, "secret");

    ClientHandle h;
    Dirty(h);
    ASSERT_TRUE(InitLiveClient(&h, &r));
    EXPECT_EQ(1, h.transport);
    EXPECT_EQ(1, h.viewOn.load());
    EXPECT_EQ(3, h.channel);
    EXPECT_EQ(0x400001u, h.videoWnd.load());
    EXPECT_EQ(0x400002u, h.notifyWnd);
    EXPECT_EQ(311u, h.notifyMsg);
    EXPECT_EQ(-7, h.userData);
    EXPECT_STREQ("admin", h.userName);
    EXPECT_STREQ("secret", h.password);

    EXPECT_EQ(1, h.state.load());
    EXPECT_EQ(2, h.showMdRegion.load());
    EXPECT_EQ(720, h.videoWidth.load());
    EXPECT_EQ(576, h.videoHeight.load());
    EXPECT_EQ(25, h.fps.load());
    EXPECT_EQ(512, h.streamBitRate.load());
    EXPECT_EQ(0, h.audioOn.load());
    EXPECT_EQ(0, h.isFile);

    EXPECT_STREQ("", h.recordPath);
    EXPECT_STREQ("", h.filePath);
    EXPECT_EQ(0u, h.byteCount.load());
    EXPECT_EQ(0, h.mdRegions.enable[3]);
    EXPECT_EQ(0, h.replaySeekPending.load());
    EXPECT_EQ(nullptr, h.source);
    EXPECT_EQ(nullptr, h.talk.load());
    EXPECT_EQ(0u, h.self);

    EXPECT_FALSE(InitLiveClient(&h, nullptr));
}

TEST(InitFileClient, SetsReplayDefaultsOnAClearedHandle) {
    ClientHandle h;
    Dirty(h);
    ASSERT_TRUE(InitFileClient(&h, "/data/rec/cam1.rec", 0x500003));
    EXPECT_STREQ("/data/rec/cam1.rec", h.filePath);
    EXPECT_EQ(1, h.isFile);
    EXPECT_EQ(1, h.viewOn.load());
    EXPECT_EQ(1, h.audioOn.load());
    EXPECT_EQ(0x500003u, h.videoWnd.load());
    EXPECT_EQ(0, h.audioPlayerClosed.load());
    EXPECT_EQ(1280, h.videoWidth.load());
    EXPECT_EQ(1080, h.videoHeight.load());
    EXPECT_EQ(30, h.fps.load());
    EXPECT_EQ(2048, h.streamBitRate.load());
    EXPECT_EQ(0, h.state.load());
    EXPECT_EQ(0u, h.notifyWnd);
    EXPECT_EQ(0, h.userData);
    EXPECT_STREQ("", h.host);
    EXPECT_STREQ("", h.recordPath);
    EXPECT_EQ(nullptr, h.source);
    EXPECT_EQ(0, h.showMdRegion.load());
}

TEST(InitFileClient, PathLengthLimit) {
    const std::string fits(259, 'p');
    const std::string tooLong(260, 'p');
    struct Case {
        const char* name;
        const char* path;
        bool ok;
        std::string stored;
    } cases[] = {
        {"259 characters", fits.c_str(), true, fits},
        {"260 characters", tooLong.c_str(), false, fits},
        {"empty", "", true, ""},
        {"null", nullptr, false, ""},
    };
    for (const Case& c : cases) {
        ClientHandle h;
        EXPECT_EQ(c.ok, InitFileClient(&h, c.path, 0)) << c.name;
        EXPECT_EQ(c.stored, h.filePath) << c.name;
        EXPECT_EQ(1, h.isFile) << c.name;
    }
}
