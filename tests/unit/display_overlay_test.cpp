#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "api/ClientHandle.h"
#include "display/Overlay.h"

using namespace kavro;

namespace {

// Records every mark in order as text, e.g. "frame white 176 144 352 288" or "text 181 149 3".
class RecordingCanvas : public IOverlayCanvas {
public:
    bool ready = true;
    std::vector<std::string> marks;
    bool Ready() override { return ready; }
    void FrameRect(int32_t l, int32_t t, int32_t r, int32_t b, OverlayColour c) override {
        marks.push_back(std::string("frame ") + (c == OverlayColour::kRed ? "red " : "white ") +
                        std::to_string(l) + " " + std::to_string(t) + " " + std::to_string(r) + " " +
                        std::to_string(b));
    }
    void DrawPlainText(int32_t x, int32_t y, const char* s, size_t n) override {
        marks.push_back("text " + std::to_string(x) + " " + std::to_string(y) + " " + std::string(s, n));
    }
    void DrawRecordingText(int32_t x, int32_t y, const char* s, size_t n) override {
        marks.push_back("rec " + std::to_string(x) + " " + std::to_string(y) + " " + std::string(s, n));
    }
};

struct OverlayTest : testing::Test {
    ClientHandle client;
    RecordingCanvas canvas;
    void SetUp() override {
        client.videoWnd = 0x400001;
        client.self = 0x10001;
        client.wndWidth = 352;
        client.wndHeight = 288;
    }
    void SetRegion(int i, int32_t l, int32_t t, int32_t r, int32_t b) {
        int32_t* rect = client.mdRegions.rect[i];
        rect[0] = l;
        rect[1] = t;
        rect[2] = r;
        rect[3] = b;
    }
    void Motion(int i, uint32_t tick) {
        client.mdState |= 1u << i;
        client.mdTicks[i] = tick;
    }
};

using Marks = std::vector<std::string>;

}  // namespace

TEST_F(OverlayTest, RegionsScaleFromTheFixedGridToTheWindow) {
    client.showMdRegion = 1;
    SetRegion(3, 352, 288, 704, 576);
    SetRegion(7, 0, 0, 0, 0);  // undefined
    SetRegion(9, 0, 0, 10, 10);
    DrawOverlay(&canvas, &client, false, 1000);
    EXPECT_EQ((Marks{"text 181 149 3", "frame white 176 144 352 288", "text 5 5 9", "frame white 0 0 5 5"}),
              canvas.marks);
}

TEST(OverlayScale, TruncatesTowardZero) {
    struct Case {
        int32_t v, size, x, y;
    } cases[] = {{704, 640, 640, 782},
                 {1, 640, 0, 1},
                 {703, 1920, 1917, 2343},
                 {-10, 352, -5, -6},
                 {576, 360, 294, 360}};
    for (const Case& c : cases) {
        EXPECT_EQ(c.x, ScaleRegionX(c.v, c.size)) << c.v << " on " << c.size;
        EXPECT_EQ(c.y, ScaleRegionY(c.v, c.size)) << c.v << " on " << c.size;
    }
}

TEST_F(OverlayTest, RecentMotionIsRedUntilThreeSecondsThenCleared) {
    client.showMdRegion = 2;
    SetRegion(0, 0, 0, 352, 288);
    SetRegion(1, 352, 0, 704, 288);
    const uint32_t now = 50000;
    Motion(0, now - 2900);
    Motion(1, now - 3000);
    DrawOverlay(&canvas, &client, false, now);
    EXPECT_EQ((Marks{"text 5 5 0", "frame red 0 0 176 144"}), canvas.marks);
    EXPECT_EQ(1u, client.mdState.load());

    canvas.marks.clear();
    DrawOverlay(&canvas, &client, false, now + 100);
    EXPECT_TRUE(canvas.marks.empty());
    EXPECT_EQ(0u, client.mdState.load());
}

TEST_F(OverlayTest, MotionAgeSurvivesTickWrap) {
    client.showMdRegion = 2;
    SetRegion(4, 0, 0, 704, 576);
    Motion(4, 0xFFFFFF00u);
    DrawOverlay(&canvas, &client, false, 0x100);  // 512 ms later, across the wrap
    EXPECT_EQ((Marks{"text 5 5 4", "frame red 0 0 352 288"}), canvas.marks);
    EXPECT_EQ(1u << 4, client.mdState.load());
}

TEST_F(OverlayTest, BothBitsDrawWhiteThenRedOverIt) {
    client.showMdRegion = 3;
    SetRegion(2, 0, 0, 704, 576);
    SetRegion(5, 70, 57, 140, 115);
    Motion(2, 1000);
    DrawOverlay(&canvas, &client, false, 1500);
    EXPECT_EQ((Marks{"text 5 5 2", "frame white 0 0 352 288", "text 40 33 5", "frame white 35 28 70 57",
                     "text 5 5 2", "frame red 0 0 352 288"}),
              canvas.marks);
}

TEST_F(OverlayTest, RecStandsTopRightOnlyWhileAManualRecordingRuns) {
    DrawOverlay(&canvas, &client, true, 0);
    EXPECT_EQ((Marks{"rec 330 0 Rec"}), canvas.marks);
    canvas.marks.clear();
    client.wndWidth = 640;
    DrawOverlay(&canvas, &client, true, 0);
    EXPECT_EQ((Marks{"rec 618 0 Rec"}), canvas.marks);
    canvas.marks.clear();
    DrawOverlay(&canvas, &client, false, 0);
    EXPECT_TRUE(canvas.marks.empty());
}

TEST_F(OverlayTest, DrawsNothingWithoutWindowHandleOrCanvas) {
    client.showMdRegion = 3;
    SetRegion(0, 0, 0, 704, 576);
    Motion(0, 0);
    struct Case {
        const char* what;
        uint32_t wnd, self;
        bool ready;
    } cases[] = {{"no window", 0, 7, true}, {"no handle", 5, 0, true}, {"canvas not ready", 5, 7, false}};
    for (const Case& c : cases) {
        client.videoWnd = c.wnd;
        client.self = c.self;
        canvas.ready = c.ready;
        canvas.marks.clear();
        DrawOverlay(&canvas, &client, true, 10000);
        EXPECT_TRUE(canvas.marks.empty()) << c.what;
        EXPECT_EQ(1u, client.mdState.load()) << c.what;  // nothing looked at, nothing cleared
    }
    EXPECT_EQ(0, DrawOverlay(nullptr, &client, true, 0));
}
