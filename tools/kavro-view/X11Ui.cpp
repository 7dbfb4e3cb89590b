// Windows and keys of kavro-view on X11. The library draws into the windows through its own
// display connection; this one only creates them, names them and reads their events.
#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

#include <cmath>

#include "Host.h"

namespace kavroview {
namespace {

// PTZ values: (0, 0) stops; the camera gives them their meaning.
constexpr int32_t kPtzStop = 0;
constexpr int32_t kPtzUp = 1;
constexpr int32_t kPtzDown = 2;
constexpr int32_t kPtzLeft = 3;
constexpr int32_t kPtzRight = 4;
constexpr int32_t kPtzZoomIn = 5;
constexpr int32_t kPtzZoomOut = 6;
constexpr int32_t kPtzSpeed = 4;

int32_t PtzFor(KeySym key) {
    switch (key) {
        case XK_Up:
            return kPtzUp;
        case XK_Down:
            return kPtzDown;
        case XK_Left:
            return kPtzLeft;
        case XK_Right:
            return kPtzRight;
        case XK_plus:
        case XK_KP_Add:
        case XK_equal:
            return kPtzZoomIn;
        case XK_minus:
        case XK_KP_Subtract:
            return kPtzZoomOut;
    }
    return kPtzStop;
}

class X11Ui : public Ui {
public:
    explicit X11Ui(Display* d) : dpy_(d) {
        deleteAtom_ = XInternAtom(dpy_, "WM_DELETE_WINDOW", False);
        // Held keys repeat as presses only, so a release really ends a PTZ move.
        XkbSetDetectableAutoRepeat(dpy_, True, nullptr);
    }
    ~X11Ui() override { XCloseDisplay(dpy_); }

    int Fd() const override { return ConnectionNumber(dpy_); }

    bool CreateWindows(std::vector<Camera>& cameras) override {
        int screen = DefaultScreen(dpy_);
        int n = static_cast<int>(cameras.size());
        int cols = static_cast<int>(std::ceil(std::sqrt(static_cast<double>(n))));
        int rows = (n + cols - 1) / cols;
        int sw = DisplayWidth(dpy_, screen), sh = DisplayHeight(dpy_, screen);
        int w = std::min(640, sw / cols), h = std::min(w * 3 / 4, sh / rows);
        for (int i = 0; i < n; ++i) {
            Window win = XCreateSimpleWindow(dpy_, RootWindow(dpy_, screen), (i % cols) * w, (i / cols) * h,
                                             static_cast<unsigned>(w), static_cast<unsigned>(h), 0,
                                             BlackPixel(dpy_, screen), BlackPixel(dpy_, screen));
            if (!win) return false;
            XSelectInput(dpy_, win, KeyPressMask | KeyReleaseMask | ExposureMask | StructureNotifyMask);
            XSetWMProtocols(dpy_, win, &deleteAtom_, 1);
            XSizeHints hints{};
            hints.flags = PPosition;
            hints.x = (i % cols) * w;
            hints.y = (i / cols) * h;
            XSetWMNormalHints(dpy_, win, &hints);
            XStoreName(dpy_, win, ("kavro-view: " + cameras[static_cast<size_t>(i)].label).c_str());
            XMapWindow(dpy_, win);
            cameras[static_cast<size_t>(i)].window = win;
        }
        // The library's own connection must see the windows before it draws.
        XSync(dpy_, False);
        return true;
    }

    void HandleEvents(Host& host) override {
        std::vector<Camera>& cams = host.Cameras();
        while (XPending(dpy_) > 0) {
            XEvent ev;
            XNextEvent(dpy_, &ev);
            size_t i = 0;
            while (i < cams.size() && cams[i].window != ev.xany.window) ++i;
            if (i == cams.size() || !cams[i].open) continue;
            Camera& c = cams[i];
            switch (ev.type) {
                case Expose:
                    if (ev.xexpose.count == 0) KAVRO_ClientRefreshWnd(c.handle);
                    break;
                case ConfigureNotify:
                    KAVRO_ClientSetWnd(c.handle, static_cast<uint32_t>(c.window));
                    break;
                case ClientMessage:
                    if (static_cast<Atom>(ev.xclient.data.l[0]) == deleteAtom_) host.CloseCamera(i);
                    break;
                case KeyPress:
                    OnKey(host, i, &ev.xkey, true);
                    break;
                case KeyRelease:
                    OnKey(host, i, &ev.xkey, false);
                    break;
            }
        }
    }

    void SetTitle(const Camera& camera, const std::string& title) override {
        XStoreName(dpy_, camera.window, title.c_str());
        XFlush(dpy_);
    }

    void DestroyWindow(Camera& camera) override {
        if (!camera.window) return;
        XDestroyWindow(dpy_, camera.window);
        XFlush(dpy_);
        camera.window = 0;
    }

private:
    void OnKey(Host& host, size_t i, XKeyEvent* key, bool press) {
        char text[8];
        KeySym sym = NoSymbol;
        XLookupString(key, text, sizeof text, &sym, nullptr);
        const Camera& c = host.Cameras()[i];
        if (!c.isFile) {
            int32_t ptz = PtzFor(sym);
            if (ptz != kPtzStop) {
                host.Ptz(i, press ? ptz : kPtzStop, press ? kPtzSpeed : 0);
                return;
            }
        }
        if (!press) return;
        switch (sym) {
            case XK_q:
            case XK_Escape:
                host.Quit();
                break;
            case XK_s:
                host.Snapshot(i);
                break;
            case XK_v:
                host.ToggleView(i);
                break;
            case XK_o:
                host.ToggleRotate(i);
                break;
            case XK_f:
                host.ToggleFlip(i);
                break;
            case XK_r:
                host.ToggleRecord(i);
                break;
            case XK_t:
                host.ToggleTalk(i);
                break;
            case XK_m:
                host.ToggleRegions(i);
                break;
            case XK_space:
                host.TogglePause(i);
                break;
            case XK_n:
                host.Step(i);
                break;
            case XK_bracketleft:
                host.Slower(i);
                break;
            case XK_bracketright:
                host.Faster(i);
                break;
            case XK_Left:
                host.Seek(i, -10);
                break;
            case XK_Right:
                host.Seek(i, 10);
                break;
        }
    }

    Display* dpy_;
    Atom deleteAtom_;
};

}  // namespace

Ui* MakeX11Ui() {
    XInitThreads();
    Display* d = XOpenDisplay(nullptr);
    return d ? new X11Ui(d) : nullptr;
}

}  // namespace kavroview
