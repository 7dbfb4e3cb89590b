// Video in host windows through the C interface, on private X servers of depth 24, 16 and 15,
// fed by the camera simulator: the picture fills the window and follows a resize, moves with
// KAVRO_ClientSetWnd, shows the asked orientation, carries the region frames and "Rec", and a
// window destroyed under a running client does no harm. Notifications without a callback reach
// the notify window as ClientMessages.
//
// Reference pictures: KAVRO_ClientCapturePicture writes the picture being shown as JPEG; it is
// decoded here with libavcodec, converted as the display converts (BT.601, Y = 16 is black) and
// sampled bilinearly at the window grid. The simulator's pattern moves (a diagonal ramp shifting 3
// levels and a box moving 4 pixels per frame), so the stream runs at 5 frames per second, the
// error is taken as the median over a 40 x 24 grid (ramp wrap lines and the box edges are a few
// per cent of the points), and each comparison also proves that a black window and the picture
// in the other three orientations would fail it.
#include <sys/stat.h>
#include <unistd.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/pixdesc.h>
}

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "kavro.h"
#include "support/camsim_process.h"
#include "support/e2e_live.h"
#include "support/x11_window.h"
#include "support/x11_xvfb.h"

// Last: its macros (Bool, None, Status) would clash with the headers above.
#include <X11/Xlib.h>
#undef Bool
#undef None
#undef Status

namespace {

using kavro::test::CamsimProcess;
using kavro::test::E2eNotifications;
using kavro::test::Pixel;
using kavro::test::X11TestClient;
using kavro::test::XvfbServer;
using Clock = std::chrono::steady_clock;

constexpr int kCamWidth = 352;
constexpr int kCamHeight = 288;
constexpr int kGridX = 40;
constexpr int kGridY = 24;
// Median per-point error (mean of |dR|, |dG|, |dB|) a matching window stays under. One frame of
// lag costs about 4, 5-bit channels about 4; a black window or a wrong orientation costs 40+.
constexpr double kMatchMedian = 16.0;

// ---- X server, one at a time, restarted when a test asks for another depth

XvfbServer* gServer = nullptr;
X11TestClient* gKeeper = nullptr;
int gServerDepth = 0;

void StopServer() {
    delete gKeeper;
    gKeeper = nullptr;
    delete gServer;
    gServer = nullptr;
    gServerDepth = 0;
}

bool EnsureServer(int depth, std::string* why) {
    if (gServer && gServerDepth == depth) return true;
    StopServer();
    gServer = new XvfbServer;
    if (!gServer->Start(1280, 800, depth)) {
        *why = gServer->Error();
        StopServer();
        return false;
    }
    // An X server resets when its last client leaves and refuses connections meanwhile; one
    // connection held for the server's life keeps it from resetting between tests.
    gKeeper = new X11TestClient;
    if (!gKeeper->ok()) {
        *why = "cannot connect to the new X server";
        StopServer();
        return false;
    }
    gServerDepth = depth;
    return true;
}

class ServerEnvironment : public ::testing::Environment {
public:
    void TearDown() override { StopServer(); }
};
const auto* const gEnvironment = ::testing::AddGlobalTestEnvironment(new ServerEnvironment);

// ---- Pictures

struct Image {
    int w = 0, h = 0;
    std::vector<uint8_t> rgb;  // 3 bytes per pixel, row-major
};

uint8_t Clamp255(double v) { return uint8_t(std::lround(std::min(255.0, std::max(0.0, v)))); }

struct CodecContextDeleter {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameDeleter {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketDeleter {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};

// Decodes a JPEG file and converts it with the display's BT.601 limited-range formula.
bool DecodeJpeg(const std::vector<uint8_t>& data, Image* out) {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MJPEG);
    if (!codec || data.empty()) return false;
    std::unique_ptr<AVCodecContext, CodecContextDeleter> ctx(avcodec_alloc_context3(codec));
    std::unique_ptr<AVFrame, FrameDeleter> frame(av_frame_alloc());
    std::unique_ptr<AVPacket, PacketDeleter> pkt(av_packet_alloc());
    if (!ctx || !frame || !pkt || avcodec_open2(ctx.get(), codec, nullptr) < 0) return false;
    std::vector<uint8_t> padded(data);
    padded.resize(data.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    pkt->data = padded.data();
    pkt->size = int(data.size());
    if (avcodec_send_packet(ctx.get(), pkt.get()) < 0) return false;
    if (avcodec_receive_frame(ctx.get(), frame.get()) < 0) return false;
    const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(AVPixelFormat(frame->format));
    if (!d || d->nb_components < 3 || (d->flags & AV_PIX_FMT_FLAG_RGB) ||
        !(d->flags & AV_PIX_FMT_FLAG_PLANAR))
        return false;
    const AVFrame& f = *frame;
    out->w = f.width;
    out->h = f.height;
    out->rgb.resize(size_t(f.width) * f.height * 3);
    for (int y = 0; y < f.height; ++y)
        for (int x = 0; x < f.width; ++x) {
            const double Y = f.data[0][y * f.linesize[0] + x];
            const int cy = y >> d->log2_chroma_h, cx = x >> d->log2_chroma_w;
            const double U = f.data[1][cy * f.linesize[1] + cx] - 128.0;
            const double V = f.data[2][cy * f.linesize[2] + cx] - 128.0;
            const double l = 1.164 * (Y - 16.0);
            uint8_t* p = &out->rgb[(size_t(y) * f.width + x) * 3];
            p[0] = Clamp255(l + 1.596 * V);
            p[1] = Clamp255(l - 0.813 * V - 0.391 * U);
            p[2] = Clamp255(l + 2.018 * U);
        }
    return true;
}

std::vector<uint8_t> ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

long FileSize(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? long(st.st_size) : -1;
}

// The picture the client shows next, through KAVRO_ClientCapturePicture.
bool CaptureReference(KAVRO_HANDLE h, const std::string& path, Image* out) {
    unlink(path.c_str());
    if (KAVRO_ClientCapturePicture(h, path.c_str()) != 1) return false;
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    long last = -1;
    while (Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        const long size = FileSize(path);
        // Written in one go, but read only once its size held still for one poll.
        if (size > 0 && size == last && DecodeJpeg(ReadWholeFile(path), out)) return true;
        last = size;
    }
    return false;
}

Image WindowImage(X11TestClient& x, uint32_t wnd) {
    Image img;
    const std::vector<Pixel> px = x.Read(wnd, &img.w, &img.h);
    img.rgb.reserve(px.size() * 3);
    for (const Pixel& p : px) {
        img.rgb.push_back(uint8_t(p.r));
        img.rgb.push_back(uint8_t(p.g));
        img.rgb.push_back(uint8_t(p.b));
    }
    if (px.empty()) img.w = img.h = 0;
    return img;
}

// How the window is expected to show the reference.
enum class Orient { kUpright, kRotated, kUpsideDown, kMirrored };
const Orient kAllOrients[] = {Orient::kUpright, Orient::kRotated, Orient::kUpsideDown, Orient::kMirrored};

const char* Name(Orient o) {
    switch (o) {
        case Orient::kUpright:
            return "upright";
        case Orient::kRotated:
            return "rotated";
        case Orient::kUpsideDown:
            return "upside down";
        case Orient::kMirrored:
            return "mirrored";
    }
    return "?";
}

// Reference colour at window position (u, v) in [0, 1), stretched to the window.
void SampleReference(const Image& ref, Orient o, double u, double v, double out[3]) {
    if (o == Orient::kRotated || o == Orient::kMirrored) u = 1.0 - u;
    if (o == Orient::kRotated || o == Orient::kUpsideDown) v = 1.0 - v;
    const double sx = std::min(std::max(u * ref.w - 0.5, 0.0), ref.w - 1.0);
    const double sy = std::min(std::max(v * ref.h - 0.5, 0.0), ref.h - 1.0);
    const int x0 = int(sx), y0 = int(sy);
    const int x1 = std::min(x0 + 1, ref.w - 1), y1 = std::min(y0 + 1, ref.h - 1);
    const double fx = sx - x0, fy = sy - y0;
    auto at = [&](int x, int y, int c) { return double(ref.rgb[(size_t(y) * ref.w + x) * 3 + c]); };
    for (int c = 0; c < 3; ++c)
        out[c] = (1 - fy) * ((1 - fx) * at(x0, y0, c) + fx * at(x1, y0, c)) +
                 fy * ((1 - fx) * at(x0, y1, c) + fx * at(x1, y1, c));
}

// Median of the per-point error between a window-sized picture (given by `shown`) and the
// reference in orientation `o`.
double MedianError(int w, int h, const std::function<void(int x, int y, double out[3])>& shown,
                   const Image& ref, Orient o) {
    std::vector<double> errors;
    for (int j = 0; j < kGridY; ++j)
        for (int i = 0; i < kGridX; ++i) {
            const int x = int((i + 0.5) * w / kGridX), y = int((j + 0.5) * h / kGridY);
            double a[3], b[3];
            shown(x, y, a);
            SampleReference(ref, o, (x + 0.5) / w, (y + 0.5) / h, b);
            errors.push_back((std::fabs(a[0] - b[0]) + std::fabs(a[1] - b[1]) + std::fabs(a[2] - b[2])) / 3);
        }
    std::nth_element(errors.begin(), errors.begin() + errors.size() / 2, errors.end());
    return errors[errors.size() / 2];
}

struct Comparison {
    double error = 1e9;       // window against the reference as expected
    double blackError = 0;    // a black window against the same
    double wrongError = 1e9;  // the smallest error of the reference in another orientation
    std::string Describe() const {
        char s[160];
        std::snprintf(s, sizeof s,
                      "median error %.1f (limit %.0f); black window %.1f; best wrong orientation %.1f", error,
                      kMatchMedian, blackError, wrongError);
        return s;
    }
};

Comparison Compare(const Image& win, const Image& ref, Orient o) {
    Comparison c;
    if (win.w <= 0 || ref.w <= 0) return c;
    c.error = MedianError(
        win.w, win.h,
        [&](int x, int y, double out[3]) {
            const uint8_t* p = &win.rgb[(size_t(y) * win.w + x) * 3];
            for (int k = 0; k < 3; ++k) out[k] = p[k];
        },
        ref, o);
    c.blackError = MedianError(
        win.w, win.h, [](int, int, double out[3]) { out[0] = out[1] = out[2] = 0; }, ref, o);
    for (Orient other : kAllOrients) {
        if (other == o) continue;
        const double e = MedianError(
            win.w, win.h,
            [&](int x, int y, double out[3]) {
                SampleReference(ref, other, (x + 0.5) / win.w, (y + 0.5) / win.h, out);
            },
            ref, o);
        c.wrongError = std::min(c.wrongError, e);
    }
    return c;
}

// ---- Simulator and clients

enum class Codec { kJpeg, kH264 };
const char* Name(Codec c) { return c == Codec::kJpeg ? "jpeg" : "h264"; }

std::unique_ptr<CamsimProcess> StartCamera(Codec codec, std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"--video", Name(codec), "--size", "352x288", "--fps",
                                     "5",       "--gop",     "5",      "--audio", "none"};
    args.insert(args.end(), extra.begin(), extra.end());
    return std::make_unique<CamsimProcess>(args);
}

std::string TempPath(const std::string& leaf) {
    const char* base = std::getenv("TMPDIR");
    return std::string(base && *base ? base : "/tmp") + "/kavro_window_e2e_" + std::to_string(getpid()) +
           "_" + leaf;
}

// A started client over RTP/TCP drawing into `wnd`, stopped at the end of the scope.
struct Client {
    KAVRO_HANDLE h = 0;
    Client() = default;
    Client(uint16_t port, uint32_t wnd, uint16_t viewOn = 1) {
        KAVRO_CLIENT_RECORD r = kavro::test::E2eRecord(1, port);
        r.videoWnd = wnd;
        r.viewOn = viewOn;
        h = KAVRO_ClientStart(&r);
    }
    ~Client() {
        if (h) KAVRO_ClientStop(h);
    }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;
};

// Captures a reference and reads the window until they match (a few rounds: the picture moves
// between the capture and the read-back), then returns the last comparison.
Comparison WaitUntilShows(X11TestClient& x, uint32_t wnd, KAVRO_HANDLE h, Orient o,
                          const std::string& refPath, int rounds = 6) {
    Comparison last;
    for (int i = 0; i < rounds; ++i) {
        Image ref;
        if (!CaptureReference(h, refPath, &ref)) continue;
        last = Compare(WindowImage(x, wnd), ref, o);
        if (last.error < kMatchMedian) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    unlink(refPath.c_str());
    return last;
}

void ExpectShows(const Comparison& c, const std::string& what) {
    std::printf("[ window   ] %s: %s\n", what.c_str(), c.Describe().c_str());
    EXPECT_LT(c.error, kMatchMedian) << what << ": " << c.Describe();
    // The comparison itself must be able to fail for this picture.
    EXPECT_GT(c.blackError, 2 * kMatchMedian) << what << ": " << c.Describe();
    EXPECT_GT(c.wrongError, 2 * kMatchMedian) << what << ": " << c.Describe();
}

template <typename Pred>
bool WaitFor(Pred pred, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!pred()) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

// ---- Drawing tests, once per depth

using DepthCodec = std::tuple<int, Codec>;

class WindowE2e : public ::testing::TestWithParam<DepthCodec> {
protected:
    void SetUp() override {
        std::string why;
        if (!XvfbServer::Available()) GTEST_SKIP() << "no Xvfb";
        ASSERT_TRUE(EnsureServer(Depth(), &why)) << why;
        ASSERT_FALSE(kavro::test::CamsimBinaryPath().empty()) << "no camera simulator";
        x_ = std::make_unique<X11TestClient>();
        ASSERT_TRUE(x_->ok());
        ASSERT_EQ(x_->Depth(), Depth());
        ASSERT_EQ(1, KAVRO_Startup(0, 0, &E2eNotifications::Callback, 0));
        KAVRO_SetWaitTime(5, 1, 1);
    }
    void TearDown() override {
        KAVRO_Cleanup();
        x_.reset();
    }
    int Depth() const { return std::get<0>(GetParam()); }
    Codec CodecParam() const { return std::get<1>(GetParam()); }
    std::string Label() const {
        return std::string(Name(CodecParam())) + " depth " + std::to_string(Depth());
    }

    // Starts a client into `wnd` and waits for its connection report.
    void Connect(Client& c) {
        ASSERT_NE(0u, c.h);
        ASSERT_TRUE(E2eNotifications::Instance().WaitFor(c.h, 1, 0, 10000))
            << E2eNotifications::Instance().Describe(c.h);
    }

    std::unique_ptr<X11TestClient> x_;
};

TEST_P(WindowE2e, PictureFillsTheWindowAndFollowsAResize) {
    auto cam = StartCamera(CodecParam());
    ASSERT_TRUE(cam->Running());
    const uint32_t wnd = x_->CreateWindow(640, 360);
    ASSERT_NE(0u, wnd);
    Client c(cam->Port(), wnd);
    Connect(c);
    const std::string ref = TempPath("fill.jpg");

    ExpectShows(WaitUntilShows(*x_, wnd, c.h, Orient::kUpright, ref), Label() + " 640x360");

    // Taller and narrower: a picture still drawn for the old size leaves black rows at the
    // bottom and shows the ramps at the wrong scale.
    x_->Resize(wnd, 480, 420);
    const Comparison resized = WaitUntilShows(*x_, wnd, c.h, Orient::kUpright, ref);
    ExpectShows(resized, Label() + " resized to 480x420");
    Image win = WindowImage(*x_, wnd);
    EXPECT_EQ(480, win.w);
    EXPECT_EQ(420, win.h);
    x_->Destroy(wnd);
}

TEST_P(WindowE2e, SetWndMovesTheDrawingToTheNewWindow) {
    auto cam = StartCamera(CodecParam());
    ASSERT_TRUE(cam->Running());
    const uint32_t first = x_->CreateWindow(320, 240, 0, 0);
    const uint32_t second = x_->CreateWindow(320, 240, 400, 0);
    ASSERT_NE(0u, first);
    ASSERT_NE(0u, second);
    Client c(cam->Port(), first);
    Connect(c);
    const std::string ref = TempPath("setwnd.jpg");
    ExpectShows(WaitUntilShows(*x_, first, c.h, Orient::kUpright, ref), Label() + " first window");

    ASSERT_EQ(1, KAVRO_ClientSetWnd(c.h, second));
    ExpectShows(WaitUntilShows(*x_, second, c.h, Orient::kUpright, ref), Label() + " second window");

    // The old window, painted black by its owner, stays black while pictures go on.
    XClearWindow(x_->display(), first);
    XSync(x_->display(), False);
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));  // six pictures at 5/s
    const Image old = WindowImage(*x_, first);
    ASSERT_EQ(320, old.w);
    const int brightest = *std::max_element(old.rgb.begin(), old.rgb.end());
    EXPECT_EQ(0, brightest) << Label() << ": the old window was drawn into after KAVRO_ClientSetWnd";
    ExpectShows(WaitUntilShows(*x_, second, c.h, Orient::kUpright, ref), Label() + " second window later");
    x_->Destroy(first);
    x_->Destroy(second);
}

TEST_P(WindowE2e, RotateAndFlipShowTheAskedOrientation) {
    auto cam = StartCamera(CodecParam());
    ASSERT_TRUE(cam->Running());
    const uint32_t wnd = x_->CreateWindow(352, 288);
    ASSERT_NE(0u, wnd);
    Client c(cam->Port(), wnd);
    Connect(c);
    const std::string ref = TempPath("orient.jpg");

    // The JPEG stream's capture is the frame as received; the H.264 capture is the decoded picture
    // after the rotation. Flipping is a matter of the window only and never reaches a capture.
    struct Case {
        int rotate, flip;
        Orient jpeg, h264;
    };
    const Case cases[] = {
        {1, 0, Orient::kRotated, Orient::kUpright},
        {0, 1, Orient::kUpsideDown, Orient::kUpsideDown},
        {1, 1, Orient::kMirrored, Orient::kUpsideDown},
        {0, 0, Orient::kUpright, Orient::kUpright},
    };
    for (const Case& k : cases) {
        EXPECT_EQ(c.h, KAVRO_ClientRotate180(c.h, k.rotate));
        EXPECT_EQ(c.h, KAVRO_ClientVerticalFlip(c.h, k.flip));
        const Orient o = CodecParam() == Codec::kJpeg ? k.jpeg : k.h264;
        ExpectShows(WaitUntilShows(*x_, wnd, c.h, o, ref),
                    Label() + " rotate " + std::to_string(k.rotate) + " flip " + std::to_string(k.flip) +
                        ", expected " + Name(o) + " against the capture");
    }
    x_->Destroy(wnd);
}

// Region frames and "Rec" in a 352 x 288 window: regions on the 704 x 576 grid land at half
// their coordinates. Rows 120..168 of the picture carry the bright moving box; no frame edge
// lies there, so white is told from the picture by all three channels above 230.
struct RegionSpec {
    int index;
    int32_t rect[4];  // 704 x 576 grid
};
const RegionSpec kRegions[] = {
    {0, {40, 32, 300, 200}},   // window (20, 16)-(150, 100); reported moving
    {3, {400, 32, 660, 200}},  // window (200, 16)-(330, 100); reported moving
    {5, {40, 360, 300, 540}},  // window (20, 180)-(150, 270); never moving
};

bool IsWhite(const uint8_t* p) { return p[0] > 230 && p[1] > 230 && p[2] > 230; }
bool IsRed(const uint8_t* p) { return p[0] > 200 && p[1] < 70 && p[2] < 70; }

// Share of the outline pixels of a region (window pixels, corners and the number left out)
// that pass `test`.
double OutlineShare(const Image& img, const RegionSpec& r, bool (*test)(const uint8_t*)) {
    const int l = r.rect[0] / 2, t = r.rect[1] / 2, rr = r.rect[2] / 2 - 1, b = r.rect[3] / 2 - 1;
    int hit = 0, total = 0;
    auto probe = [&](int x, int y) {
        if (x < 0 || y < 0 || x >= img.w || y >= img.h) return;
        ++total;
        if (test(&img.rgb[(size_t(y) * img.w + x) * 3])) ++hit;
    };
    for (int x = l + 4; x <= rr - 4; ++x) {
        probe(x, t);
        probe(x, b);
    }
    for (int y = t + 24; y <= b - 4; ++y) {
        probe(l, y);
        probe(rr, y);
    }
    return total ? double(hit) / total : 0;
}

// Red pixels where "Rec" stands: 22 pixels from the right edge, from the top.
int RecRedPixels(const Image& img) {
    int n = 0;
    for (int y = 0; y < std::min(img.h, 20); ++y)
        for (int x = std::max(0, img.w - 22); x < img.w; ++x)
            if (IsRed(&img.rgb[(size_t(y) * img.w + x) * 3])) ++n;
    return n;
}

struct OverlayState {
    double white[3], red[3];
    int rec;
    std::string Describe() const {
        char s[200];
        std::snprintf(s, sizeof s,
                      "white %.2f/%.2f/%.2f red %.2f/%.2f/%.2f (regions 0/3/5), Rec red pixels %d", white[0],
                      white[1], white[2], red[0], red[1], red[2], rec);
        return s;
    }
};

OverlayState ReadOverlay(X11TestClient& x, uint32_t wnd) {
    const Image img = WindowImage(x, wnd);
    OverlayState s;
    for (int i = 0; i < 3; ++i) {
        s.white[i] = OutlineShare(img, kRegions[i], IsWhite);
        s.red[i] = OutlineShare(img, kRegions[i], IsRed);
    }
    s.rec = RecRedPixels(img);
    return s;
}

// Expected marks: per region 'w' white, 'r' red, '-' none; and whether "Rec" shows.
struct OverlayExpectation {
    const char* regions;
    bool rec;
};

bool Matches(const OverlayState& s, const OverlayExpectation& e) {
    for (int i = 0; i < 3; ++i) {
        const bool white = s.white[i] > 0.9, red = s.red[i] > 0.9;
        const bool noWhite = s.white[i] < 0.1, noRed = s.red[i] < 0.1;
        switch (e.regions[i]) {
            case 'w':
                if (!white || !noRed) return false;
                break;
            case 'r':
                if (!red || !noWhite) return false;
                break;
            default:
                if (!noWhite || !noRed) return false;
                break;
        }
    }
    return e.rec ? s.rec >= 8 : s.rec == 0;
}

TEST_P(WindowE2e, RegionFramesFromTheCameraAndRecMark) {
    auto cam = StartCamera(CodecParam(), {"--motion-every", "200"});
    ASSERT_TRUE(cam->Running());
    const uint32_t wnd = x_->CreateWindow(352, 288);
    ASSERT_NE(0u, wnd);

    // The regions are stored on the camera by another client; the viewer learns them from it.
    uint8_t table[272] = {};
    for (const RegionSpec& r : kRegions) {
        table[r.index] = 1;
        std::memcpy(table + 16 + r.index * 16, r.rect, 16);
    }
    {
        Client admin(cam->Port(), 0, 0);
        Connect(admin);
        ASSERT_EQ(1, KAVRO_ClientSaveMDInfo(admin.h, table));
        ASSERT_EQ(1, KAVRO_ClientStartMD(admin.h));
    }
    Client c(cam->Port(), wnd);
    Connect(c);
    ASSERT_EQ(1, KAVRO_ClientShowMDRegion(c.h, 0));
    uint8_t back[272];
    std::memset(back, 0xAA, sizeof back);
    ASSERT_EQ(1, KAVRO_ClientGetMDInfo(c.h, back));
    EXPECT_EQ(0, std::memcmp(table, back, sizeof table))
        << "the camera's region table differs from the saved one";
    ASSERT_TRUE(E2eNotifications::Instance().WaitFor(c.h, 2, 9, 5000))
        << "no motion report for regions 0 and 3: " << E2eNotifications::Instance().Describe(c.h);

    const std::string recording = TempPath("rec.264");
    struct Step {
        int show;
        int record;  // 1 start, -1 stop, 0 leave
        OverlayExpectation expected;
    };
    // Each step changes what the window must show, so a stale picture cannot pass it.
    const Step steps[] = {
        {1, 0, {"www", false}},   // every region in white, motion or not
        {3, 0, {"rrw", false}},   // moving regions red over their white frames
        {2, 0, {"rr-", false}},   // only the moving ones
        {0, 0, {"---", false}},   // nothing
        {0, 1, {"---", true}},    // a manual recording runs
        {0, -1, {"---", false}},  // and has stopped
    };
    for (const Step& s : steps) {
        ASSERT_EQ(1, KAVRO_ClientShowMDRegion(c.h, s.show));
        if (s.record > 0) {
            ASSERT_EQ(1, KAVRO_ClientStartRecord(c.h, recording.c_str(), 0));
        } else if (s.record < 0) {
            ASSERT_EQ(1, KAVRO_ClientStopRecord(c.h));
        }
        OverlayState last{};
        const bool ok = WaitFor(
            [&] {
                last = ReadOverlay(*x_, wnd);
                return Matches(last, s.expected);
            },
            5000);
        std::printf("[ overlay  ] %s show %d record %d: %s\n", Label().c_str(), s.show, s.record,
                    last.Describe().c_str());
        EXPECT_TRUE(ok) << Label() << " show " << s.show << " record " << s.record << ": expected "
                        << s.expected.regions << (s.expected.rec ? " with Rec" : " without Rec")
                        << ", window has " << last.Describe();
    }
    unlink(recording.c_str());
    x_->Destroy(wnd);
}

TEST_P(WindowE2e, WindowDestroyedWhileDrawingDoesNoHarm) {
    auto cam = StartCamera(CodecParam());
    ASSERT_TRUE(cam->Running());
    const uint32_t wnd = x_->CreateWindow(320, 240);
    ASSERT_NE(0u, wnd);
    Client c(cam->Port(), wnd);
    Connect(c);
    const std::string ref = TempPath("destroy.jpg");
    ExpectShows(WaitUntilShows(*x_, wnd, c.h, Orient::kUpright, ref), Label() + " before");

    x_->Destroy(wnd);
    if (CodecParam() == Codec::kH264) {
        // Pictures count once drawn: the count goes on with the window gone.
        int32_t kbps = -1, fps = -1;
        EXPECT_TRUE(WaitFor([&] { return KAVRO_GetBitStreamInfo(c.h, &kbps, &fps) == 1 && fps >= 3; }, 4000))
            << Label() << ": " << fps << " pictures per second after the window went";
    } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));  // pictures keep coming
    }

    // The display thread lives on: a new window gets the picture.
    const uint32_t next = x_->CreateWindow(320, 240, 400, 0);
    ASSERT_EQ(1, KAVRO_ClientSetWnd(c.h, next));
    ExpectShows(WaitUntilShows(*x_, next, c.h, Orient::kUpright, ref), Label() + " new window");
    x_->Destroy(next);

    const auto start = Clock::now();
    EXPECT_EQ(1, KAVRO_ClientStop(c.h));
    c.h = 0;
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
}

// Tests of one depth run together (one suite per depth), so each server starts once.
const auto kCodecs = ::testing::Values(Codec::kJpeg, Codec::kH264);
INSTANTIATE_TEST_SUITE_P(Depth24, WindowE2e, ::testing::Combine(::testing::Values(24), kCodecs));
INSTANTIATE_TEST_SUITE_P(Depth16, WindowE2e, ::testing::Combine(::testing::Values(16), kCodecs));
INSTANTIATE_TEST_SUITE_P(Depth15, WindowE2e, ::testing::Combine(::testing::Values(15), kCodecs));

// ---- Notifications to a window (no callback)

// Runs on whichever server is up: ClientMessages do not depend on depth. It is also the only
// test here that makes the library open its connection for window messages, so that connection
// never outlives a server.
TEST(WindowNotifications, ArriveAsClientMessagesWithoutACallback) {
    if (!XvfbServer::Available()) GTEST_SKIP() << "no Xvfb";
    std::string why;
    ASSERT_TRUE(EnsureServer(gServerDepth ? gServerDepth : 24, &why)) << why;
    auto cam = StartCamera(Codec::kH264, {"--motion-every", "200"});
    ASSERT_TRUE(cam->Running());
    X11TestClient x;
    ASSERT_TRUE(x.ok());
    const uint32_t notify = x.CreateWindow(64, 64, 900, 600);
    const uint32_t atom = x.InternAtom("KAVRO_E2E_NOTIFY");
    ASSERT_NE(0u, notify);
    ASSERT_NE(0u, atom);
    ASSERT_EQ(1, KAVRO_Startup(0, 0, nullptr, 0));
    KAVRO_SetWaitTime(5, 1, 1);
    {
        KAVRO_CLIENT_RECORD r = kavro::test::E2eRecord(1, cam->Port());
        r.viewOn = 0;
        r.notifyWnd = notify;
        r.notifyMsg = atom;
        Client c;  // stops the client on every path
        c.h = KAVRO_ClientStart(&r);
        ASSERT_NE(0u, c.h);

        // Wanted: the connection report (1, 0) and a motion report for regions 0 and 3 (2, 9).
        bool connected = false, motion = false;
        std::string seen;
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        while (!(connected && motion) && Clock::now() < deadline) {
            uint32_t type = 0;
            long l0 = 0, l1 = 0;
            if (!x.WaitClientMessage(notify, 500, &type, &l0, &l1)) continue;
            seen += " " + std::to_string(type) + ":" + std::to_string(l0) + "/" + std::to_string(l1);
            if (type != atom) continue;
            if (l0 == 1 && l1 == 0) connected = true;
            if (l0 == 2 && l1 == 9 && connected) motion = true;
        }
        EXPECT_TRUE(connected) << "messages (type:code/argument):" << seen << "; atom " << atom;
        EXPECT_TRUE(motion) << "messages (type:code/argument):" << seen << "; atom " << atom;
    }
    KAVRO_Cleanup();
    x.Destroy(notify);
}

}  // namespace
