#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "api/ClientHandle.h"
#include "display/Overlay.h"
#include "display/X11Presenter.h"
#include "support/x11_window.h"
#include "support/x11_xvfb.h"

using namespace kavro;
using kavro::test::Pixel;

namespace {

struct Rgb {
    int r, g, b;
};

// A 4:2:0 picture built from RGB blocks, with BT.601 limited-range values.
struct TestPicture {
    int32_t width, height;
    std::vector<uint8_t> y, u, v;
    DecodedPicture pic;
    TestPicture(int32_t w, int32_t h) : width(w), height(h) {
        y.assign(size_t(w) * h, 16);
        u.assign(size_t(w / 2) * (h / 2), 128);
        v.assign(size_t(w / 2) * (h / 2), 128);
        pic.y = y.data();
        pic.u = u.data();
        pic.v = v.data();
        pic.width = w;
        pic.height = h;
        pic.yStride = w;
        pic.uvStride = w / 2;
    }
    // Fills [x0, x1) x [y0, y1); even bounds keep chroma exact.
    void Fill(int32_t x0, int32_t y0, int32_t x1, int32_t y1, Rgb c) {
        const double r = c.r / 255.0, g = c.g / 255.0, b = c.b / 255.0;
        const int yy = int(16 + 65.481 * r + 128.553 * g + 24.966 * b + 0.5);
        const int uu = int(128 - 37.797 * r - 74.203 * g + 112.0 * b + 0.5);
        const int vv = int(128 + 112.0 * r - 93.786 * g - 18.214 * b + 0.5);
        for (int32_t row = y0; row < y1; ++row)
            for (int32_t x = x0; x < x1; ++x) y[size_t(row) * width + x] = uint8_t(yy);
        for (int32_t row = y0 / 2; row < y1 / 2; ++row)
            for (int32_t x = x0 / 2; x < x1 / 2; ++x) {
                u[size_t(row) * (width / 2) + x] = uint8_t(uu);
                v[size_t(row) * (width / 2) + x] = uint8_t(vv);
            }
    }
};

const Rgb kBars[8] = {{255, 255, 255}, {255, 255, 0}, {0, 255, 255}, {0, 255, 0},
                      {255, 0, 255},   {255, 0, 0},   {0, 0, 255},   {0, 0, 0}};

TestPicture ColourBars(int32_t w, int32_t h) {
    TestPicture p(w, h);
    for (int i = 0; i < 8; ++i) p.Fill(w * i / 8, 0, w * (i + 1) / 8, h, kBars[i]);
    return p;
}

bool Near(const Pixel& p, Rgb c, int tol) {
    return std::abs(p.r - c.r) <= tol && std::abs(p.g - c.g) <= tol && std::abs(p.b - c.b) <= tol;
}

std::string Show(const Pixel& p) {
    return "(" + std::to_string(p.r) + "," + std::to_string(p.g) + "," + std::to_string(p.b) + ")";
}

struct WindowPixels {
    int width = 0, height = 0;
    std::vector<Pixel> px;
    const Pixel& at(int x, int y) const { return px[size_t(y) * width + x]; }
};

int OverlayCallback(IOverlayCanvas* canvas, void* context) {
    auto* client = static_cast<ClientHandle*>(context);
    return DrawOverlay(canvas, client, /*manualRecording=*/true, 0);
}

class X11PresenterTest : public testing::TestWithParam<int> {
protected:
    test::XvfbServer xvfb;
    std::unique_ptr<test::X11TestClient> host;
    ClientHandle client;
    X11Presenter presenter;

    void SetUp() override {
        if (!xvfb.Start(1024, 768, GetParam())) GTEST_SKIP() << xvfb.Error();
        host.reset(new test::X11TestClient);
        ASSERT_TRUE(host->ok());
        ASSERT_EQ(GetParam(), host->Depth());
        ASSERT_TRUE(presenter.Open());
        client.self = 1;
        presenter.Attach(&client, nullptr, nullptr);
    }
    void TearDown() override {
        presenter.ReleaseSurfaces(true);
        host.reset();
    }
    WindowPixels Read(uint32_t w) {
        WindowPixels r;
        r.px = host->Read(w, &r.width, &r.height);
        return r;
    }
    int Tolerance() const { return GetParam() == 24 ? 12 : 28; }
    // Every bar shows in its eighth of the window, at the top, middle and bottom.
    void ExpectBars(uint32_t wnd, int width, int height) {
        const WindowPixels got = Read(wnd);
        ASSERT_EQ(width, got.width);
        ASSERT_EQ(height, got.height);
        for (int i = 0; i < 8; ++i)
            for (int row : {2, height / 2, height - 3}) {
                const int x = width * (2 * i + 1) / 16;
                EXPECT_TRUE(Near(got.at(x, row), kBars[i], Tolerance()))
                    << "bar " << i << " at (" << x << "," << row << ") " << Show(got.at(x, row));
            }
        // The picture reaches the window's edges.
        EXPECT_TRUE(Near(got.at(0, 0), kBars[0], Tolerance())) << Show(got.at(0, 0));
        EXPECT_TRUE(Near(got.at(width - 1, height - 1), kBars[7], Tolerance()));
    }
};

}  // namespace

TEST_P(X11PresenterTest, ColourBarsFillTheWindowInTheServersFormat) {
    const uint32_t wnd = host->CreateWindow(640, 360);
    TestPicture bars = ColourBars(320, 240);
    presenter.Draw(wnd, bars.pic);
    ASSERT_TRUE(presenter.IsReady());
    const int expectFormat = GetParam() == 24   ? kFormatRGB32
                             : GetParam() == 16 ? kFormatRGB565
                                                : kFormatRGB555;
    EXPECT_EQ(expectFormat, presenter.VideoFormat());
    EXPECT_EQ(640, client.wndWidth.load());
    EXPECT_EQ(360, client.wndHeight.load());
    ExpectBars(wnd, 640, 360);
}

TEST_P(X11PresenterTest, RefreshBeforeAnyPictureReturnsZero) {
    EXPECT_EQ(0, presenter.Refresh());
    const uint32_t wnd = host->CreateWindow(64, 64);
    presenter.SetWindow(wnd);
    EXPECT_EQ(0, presenter.Refresh());
}

TEST_P(X11PresenterTest, ResizedWindowIsFilledAgain) {
    const uint32_t wnd = host->CreateWindow(640, 360);
    TestPicture bars = ColourBars(320, 240);
    presenter.Draw(wnd, bars.pic);
    host->Resize(wnd, 400, 300);
    // The next picture is shown at the new size...
    presenter.Draw(wnd, bars.pic);
    if (!presenter.IsReady()) presenter.Draw(wnd, bars.pic);  // the first one may only see the change
    ExpectBars(wnd, 400, 300);
    EXPECT_EQ(400, client.wndWidth.load());
    // ...and so is a refresh without a new picture.
    host->Resize(wnd, 240, 200);
    EXPECT_EQ(1, presenter.Refresh());
    ExpectBars(wnd, 240, 200);
    EXPECT_EQ(200, client.wndHeight.load());
}

TEST_P(X11PresenterTest, NewPictureSizeRebuildsTheSurface) {
    const uint32_t wnd = host->CreateWindow(320, 180);
    TestPicture bars = ColourBars(320, 240);
    presenter.Draw(wnd, bars.pic);
    TestPicture red(176, 144);
    red.Fill(0, 0, 176, 144, {255, 0, 0});
    presenter.Draw(wnd, red.pic);
    const WindowPixels got = Read(wnd);
    for (int x : {0, 160, 319})
        EXPECT_TRUE(Near(got.at(x, 90), {255, 0, 0}, Tolerance())) << Show(got.at(x, 90));
}

TEST_P(X11PresenterTest, DrawingMovesToAnotherWindow) {
    const uint32_t first = host->CreateWindow(200, 100);
    const uint32_t second = host->CreateWindow(300, 150, 400, 300);
    TestPicture green(64, 32), blue(64, 32);
    green.Fill(0, 0, 64, 32, {0, 255, 0});
    blue.Fill(0, 0, 64, 32, {0, 0, 255});
    presenter.Draw(first, green.pic);
    presenter.SetWindow(second);
    presenter.Draw(second, blue.pic);
    EXPECT_TRUE(Near(Read(first).at(100, 50), {0, 255, 0}, Tolerance()));
    EXPECT_TRUE(Near(Read(second).at(299, 149), {0, 0, 255}, Tolerance()));
    EXPECT_EQ(300, client.wndWidth.load());
    // The display thread handing over another window does the same without SetWindow.
    presenter.Draw(first, blue.pic);
    EXPECT_TRUE(Near(Read(first).at(100, 50), {0, 0, 255}, Tolerance()));
}

TEST_P(X11PresenterTest, VerticalFlipTurnsThePictureUpsideDown) {
    const uint32_t wnd = host->CreateWindow(160, 120);
    TestPicture p(64, 48);
    p.Fill(0, 0, 64, 24, {255, 255, 255});  // top half white, bottom black
    for (int flip : {0, 1}) {
        client.verticalFlip = flip;
        presenter.Draw(wnd, p.pic);
        const WindowPixels got = Read(wnd);
        const Rgb top = flip ? Rgb{0, 0, 0} : Rgb{255, 255, 255};
        const Rgb bottom = flip ? Rgb{255, 255, 255} : Rgb{0, 0, 0};
        EXPECT_TRUE(Near(got.at(80, 10), top, Tolerance())) << "flip " << flip << Show(got.at(80, 10));
        EXPECT_TRUE(Near(got.at(80, 110), bottom, Tolerance())) << "flip " << flip << Show(got.at(80, 110));
    }
}

TEST_P(X11PresenterTest, WindowDestroyedWhileDrawingIsSurvived) {
    uint32_t wnd = host->CreateWindow(320, 240);
    TestPicture bars = ColourBars(320, 240);
    std::atomic<bool> stop{false};
    std::atomic<int> drawn{0};
    std::thread display([&] {
        while (!stop) {
            presenter.Draw(wnd, bars.pic);
            ++drawn;
        }
    });
    while (drawn < 5) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    host->Destroy(wnd);
    const int before = drawn;
    while (drawn < before + 5) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    stop = true;
    display.join();
    EXPECT_FALSE(presenter.IsReady());
    presenter.Refresh();  // on a lost window: must neither crash nor raise an X error to the process

    // A new window afterwards is drawn into normally.
    const uint32_t next = host->CreateWindow(320, 240);
    presenter.SetWindow(next);
    presenter.Draw(next, bars.pic);
    EXPECT_TRUE(presenter.IsReady());
    ExpectBars(next, 320, 240);
}

TEST_P(X11PresenterTest, OverlayFramesAndRecAtTheirWindowPositions) {
    const uint32_t wnd = host->CreateWindow(352, 288);
    client.videoWnd = wnd;
    client.showMdRegion = 1;
    int32_t* r = client.mdRegions.rect[0];
    r[0] = 352, r[1] = 288, r[2] = 704, r[3] = 576;
    presenter.Attach(&client, OverlayCallback, &client);
    TestPicture black(176, 144);
    presenter.Draw(wnd, black.pic);
    const WindowPixels got = Read(wnd);
    const Rgb white{255, 255, 255}, dark{0, 0, 0};
    const int tol = Tolerance();
    // One-pixel frame just inside (176,144)-(352,288).
    for (auto xy : {std::pair<int, int>{176, 200}, {351, 200}, {300, 144}, {300, 287}, {176, 287}})
        EXPECT_TRUE(Near(got.at(xy.first, xy.second), white, tol)) << xy.first << "," << xy.second;
    for (auto xy :
         {std::pair<int, int>{175, 200}, {177, 200}, {300, 143}, {300, 145}, {300, 286}, {100, 100}})
        EXPECT_TRUE(Near(got.at(xy.first, xy.second), dark, tol)) << xy.first << "," << xy.second;
    // The region number sits on its white cell at (181, 149).
    int lightInCell = 0;
    for (int y = 149; y < 160; ++y)
        for (int x = 181; x < 186; ++x) lightInCell += Near(got.at(x, y), white, tol);
    EXPECT_GT(lightInCell, 10);
    // "Rec" in red from x = 330 on, at the top; no red anywhere else.
    int redInside = 0, redOutside = 0;
    for (int y = 0; y < got.height; ++y)
        for (int x = 0; x < got.width; ++x) {
            const Pixel& p = got.at(x, y);
            const bool red = p.r > 150 && p.g < 80 && p.b < 80;
            if (!red) continue;
            if (x >= 330 && y < 20)
                ++redInside;
            else
                ++redOutside;
        }
    EXPECT_GT(redInside, 15);
    EXPECT_EQ(0, redOutside);
}

INSTANTIATE_TEST_SUITE_P(Depths, X11PresenterTest, testing::Values(24, 16, 15),
                         [](const testing::TestParamInfo<int>& i) {
                             return "Depth" + std::to_string(i.param);
                         });

TEST(X11PresenterFactory, NoServerGivesANullPresenter) {
    const char* old = std::getenv("DISPLAY");
    const std::string saved = old ? old : "";
    setenv("DISPLAY", ":9999", 1);  // nothing listens there
    std::unique_ptr<VideoPresenter> p = MakeVideoPresenter();
    if (old)
        setenv("DISPLAY", saved.c_str(), 1);
    else
        unsetenv("DISPLAY");
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(nullptr, dynamic_cast<X11Presenter*>(p.get()));
    TestPicture pic(16, 16);
    p->Draw(5, pic.pic);
    EXPECT_FALSE(p->IsReady());
    EXPECT_EQ(0, p->Refresh());
}

TEST(X11PresenterServerLoss, ServerGoingAwayDoesNotEndTheProcess) {
    test::XvfbServer xvfb;
    if (!xvfb.Start(320, 240, 24)) GTEST_SKIP() << xvfb.Error();
    X11Presenter presenter;
    ASSERT_TRUE(presenter.Open());
    TestPicture bars = ColourBars(64, 32);
    uint32_t wnd = 0;
    {
        test::X11TestClient host;
        ASSERT_TRUE(host.ok());
        wnd = host.CreateWindow(100, 100);
        presenter.Draw(wnd, bars.pic);
        ASSERT_TRUE(presenter.IsReady());
    }
    xvfb.Stop();
    presenter.Draw(wnd, bars.pic);
    EXPECT_FALSE(presenter.IsReady());
    presenter.Refresh();
    presenter.Draw(wnd, bars.pic);
    EXPECT_FALSE(presenter.IsReady());
}
