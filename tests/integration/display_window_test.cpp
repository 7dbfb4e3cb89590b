#include <gtest/gtest.h>

#include <vector>

#include "api/ClientHandle.h"
#include "conduit/CBufferConduit.h"
#include "display/CAVDisplay.h"
#include "platform/Tick.h"
#include "support/display_h264_stream.h"
#include "support/x11_window.h"
#include "support/x11_xvfb.h"

namespace kavro {
namespace {

test::XvfbServer* gServer = nullptr;

class DisplayWindow : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        gServer = new test::XvfbServer;
        if (!gServer->Start(640, 480, 24)) {
            delete gServer;
            gServer = nullptr;
        }
    }
    static void TearDownTestSuite() {
        delete gServer;
        gServer = nullptr;
    }
    void SetUp() override {
        if (!gServer) GTEST_SKIP() << "no Xvfb";
    }
};

template <typename Pred>
bool WaitFor(Pred pred, uint32_t timeoutMs = 5000) {
    const uint32_t start = GetTick();
    while (!pred()) {
        if (GetTick() - start > timeoutMs) return false;
        SleepMs(5);
    }
    return true;
}

double MeanBrightness(const std::vector<test::Pixel>& pixels) {
    double sum = 0;
    for (const auto& p : pixels) sum += (p.r + p.g + p.b) / 3.0;
    return pixels.empty() ? 0 : sum / pixels.size();
}

TEST_F(DisplayWindow, MeasuresTheWindowDrawsIntoItAndRefreshes) {
    const test::Stream s = test::Encode(176, 144, 8, 4, 24, 0);
    if (s.units.empty()) GTEST_SKIP() << "no H.264 encoder";
    test::X11TestClient x;
    ASSERT_TRUE(x.ok());
    const uint32_t wnd = x.CreateWindow(320, 240);
    ASSERT_NE(wnd, 0u);

    ClientHandle client;
    CBufferConduit conduit;
    ASSERT_TRUE(conduit.Init(1 << 20, 0, 0, 1));
    client.videoConduit = &conduit;
    client.viewOn = 1;
    client.fps = 25;
    client.videoWidth = 176;
    client.videoHeight = 144;
    CAVDisplay display;
    display.Attach(&client, nullptr);
    EXPECT_EQ(display.Refresh(), 0);  // nothing shown yet

    display.SetWindow(wnd);
    EXPECT_EQ(client.videoWnd.load(), wnd);
    EXPECT_EQ(client.wndWidth.load(), 320);
    EXPECT_EQ(client.wndHeight.load(), 240);

    ASSERT_EQ(display.ResetDecoder(), 1);
    ASSERT_EQ(display.Start(), 0);
    for (const auto& u : s.units) ASSERT_TRUE(conduit.Write(u.data(), int(u.size()), 1));
    ASSERT_TRUE(WaitFor([&] { return client.frameCount >= 7; }));
    int w = 0, h = 0;
    const auto pixels = x.Read(wnd, &w, &h);
    EXPECT_EQ(w, 320);
    EXPECT_EQ(h, 240);
    // The window starts black; the gradients average far above that.
    EXPECT_GT(MeanBrightness(pixels), 40.0);
    EXPECT_EQ(display.Refresh(), 1);

    // Resized by the host: measured again, and the same window is kept.
    x.Resize(wnd, 400, 300);
    ASSERT_TRUE(WaitFor([&] {
        display.SetWindow(wnd);
        return client.wndWidth.load() == 400;
    }));
    EXPECT_EQ(client.wndHeight.load(), 300);
    EXPECT_EQ(client.videoWnd.load(), wnd);

    // No window: nothing measured or drawn, the loop goes on.
    display.SetWindow(0);
    EXPECT_EQ(client.videoWnd.load(), 0u);
    EXPECT_EQ(client.wndWidth.load(), 400);
    display.StopAndWait();
    x.Destroy(wnd);
}

}  // namespace
}  // namespace kavro
