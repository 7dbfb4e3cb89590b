#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "api/ClientHandle.h"
#include "control/CEventReceiver2.h"

using namespace kavro;

namespace {

std::vector<std::pair<int, int>> raised;
void Record(ClientHandle*, int32_t code, int32_t argument) { raised.emplace_back(code, argument); }

std::string Region(int r, int flag = 1, int left = 10, int top = 20, int right = 30, int bottom = 40) {
    return "@0@" + std::to_string(flag) + "@" + std::to_string(r) + "@" + std::to_string(left) + "@" +
           std::to_string(top) + "@" + std::to_string(right) + "@" + std::to_string(bottom) + "@0\n";
}
std::string Motion(const std::string& lines) { return "CMD:MD MCTP/1.0\n" + lines + "END\n"; }
std::string Alarm(int first, int value) {
    return "CMD:ALARM MCTP/1.0\n@" + std::to_string(first) + "@" + std::to_string(value) + "\nEND\n";
}

class EventParse : public ::testing::Test {
protected:
    void SetUp() override { raised.clear(); }
    bool Feed(const std::string& s, uint32_t now) { return rx.Feed(s.data(), s.size(), now); }
    ClientHandle client;
    CEventReceiver2 rx{&client, Record};
};

using Raised = std::vector<std::pair<int, int>>;

}  // namespace

TEST_F(EventParse, MotionSetsBitsTicksAndRectangles) {
    client.mdRegions.enable[5] = 7;
    ASSERT_TRUE(Feed(Motion(Region(2) + Region(5, 1, -1, 2, 703, 575)), 1000));
    EXPECT_EQ((Raised{{2, 0x24}}), raised);
    EXPECT_EQ(0x24u, client.mdState.load());
    EXPECT_EQ(1000u, client.mdTicks[2].load());
    EXPECT_EQ(1000u, client.mdTicks[5].load());
    EXPECT_EQ(0u, client.mdTicks[3].load());
    EXPECT_EQ(-1, client.mdRegions.rect[5][0]);
    EXPECT_EQ(575, client.mdRegions.rect[5][3]);
    EXPECT_EQ(10, client.mdRegions.rect[2][0]);
    EXPECT_EQ(7, client.mdRegions.enable[5]);  // enable bytes are the host's, not the event's
}

TEST_F(EventParse, InvalidRegionLinesAreSkippedOneByOne) {
    // flag 0, region 16, region -1, seven values, then one good line for region 15
    std::string lines = Region(1, 0) + Region(16) + Region(-1) + "@0@1@3@1@2@3@4\n" + Region(15);
    ASSERT_TRUE(Feed(Motion(lines), 1000));
    EXPECT_EQ((Raised{{2, 0x8000}}), raised);
    EXPECT_EQ(0u, client.mdTicks[1].load());
    EXPECT_EQ(0u, client.mdTicks[3].load());
}

TEST_F(EventParse, MotionLineCountLimits) {
    std::string sixteen;
    for (int r = 0; r < 16; ++r) sixteen += Region(r);
    ASSERT_TRUE(Feed(Motion(sixteen), 1000));  // 18 lines: the most a message may have
    EXPECT_EQ((Raised{{2, 0xFFFF}}), raised);
    raised.clear();
    ASSERT_TRUE(Feed(Motion(sixteen + Region(0)), 5000));  // 19 lines: ignored whole
    ASSERT_TRUE(Feed("CMD:MD MCTP/1.0\nEND\n", 9000));     // 2 lines: ignored whole
    EXPECT_TRUE(raised.empty());
    EXPECT_EQ(0xFFFFu, client.mdState.load());
    // A message with no valid region line reports no region.
    ASSERT_TRUE(Feed(Motion(Region(0, 0)), 12000));
    EXPECT_EQ((Raised{{2, 0}}), raised);
}

TEST_F(EventParse, RepeatedMotionAndAlarmsWithin500Ms) {
    struct Step {
        std::string message;
        uint32_t now;
        Raised expect;
    } steps[] = {
        {Motion(Region(1)), 10000, {{2, 2}}},
        {Motion(Region(1)), 10100, {}},  // same set within 500 ms
        {Motion(Region(1)), 10500, {}},  // exactly 500 ms is not more than 500
        {Motion(Region(1)), 10501, {{2, 2}}},
        {Motion(Region(3)), 10600, {{2, 8}}},  // a changed set at once
        {Alarm(2, 7), 20000, {{4, 7}}},
        {Alarm(2, 7), 20200, {}},
        {Alarm(2, 8), 20400, {}},  // any alarm within 500 ms of the last notified one
        {Alarm(3, 9), 21000, {}},  // first value must be 2
        {Alarm(2, 9), 21001, {{4, 9}}},
    };
    for (const Step& s : steps) {
        raised.clear();
        ASSERT_TRUE(Feed(s.message, s.now));
        EXPECT_EQ(s.expect, raised) << s.message << " at " << s.now;
    }
}

TEST_F(EventParse, FramingAcrossReceives) {
    // Two messages in one piece, in order; text before the first CMD that ends with END is dropped.
    ASSERT_TRUE(Feed("junk\nEND\n" + Motion(Region(2)) + Alarm(2, 5), 1000));
    EXPECT_EQ((Raised{{2, 4}, {4, 5}}), raised);
    raised.clear();
    // A message split over two receives is handled once its END line has arrived.
    std::string m = Motion(Region(4));
    ASSERT_TRUE(Feed(m.substr(0, 20), 3000));
    ASSERT_TRUE(Feed(m.substr(20, m.size() - 22), 3000));  // "EN" so far
    EXPECT_TRUE(raised.empty());
    ASSERT_TRUE(Feed(m.substr(m.size() - 2), 3000));
    EXPECT_EQ((Raised{{2, 16}}), raised);
    raised.clear();
    // Keep-alive replies and bytes with NULs in them are passed over.
    ASSERT_TRUE(Feed(std::string("CMD:ALIVE MCTP/1.0\n@1@0@1\nEND\n\0\0", 33) + Alarm(2, 6), 5000));
    EXPECT_EQ((Raised{{4, 6}}), raised);
}

TEST_F(EventParse, AlarmOfWrongLengthEndsTheChannel) {
    EXPECT_FALSE(Feed("CMD:ALARM MCTP/1.0\n@2@7\n@2@7\nEND\n", 1000));
    EXPECT_TRUE(raised.empty());
}

TEST_F(EventParse, FullBufferWithoutMessageIsEmptiedAndParsingGoesOn) {
    // 8000 bytes with no message, then a message whose start is cut by the buffer edge, then a good one.
    ASSERT_TRUE(Feed(std::string(8000, 'x'), 1000));
    ASSERT_TRUE(Feed("CMD:MD" + std::string(5000, 'y'), 1000));
    ASSERT_TRUE(Feed("\nEND\n", 1000));
    EXPECT_TRUE(raised.empty());
    ASSERT_TRUE(Feed(Motion(Region(0)), 2000));
    EXPECT_EQ((Raised{{2, 1}}), raised);
}

TEST_F(EventParse, OverlongRegionLineIsSkipped) {
    std::string longLine = "@0@1@6@1@2@3@4@" + std::string(2000, '0') + "\n";
    ASSERT_TRUE(Feed(Motion(longLine + Region(7)), 1000));
    EXPECT_EQ((Raised{{2, 0x80}}), raised);
}
