#include "support/x11_window.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <poll.h>

#include <chrono>
#include <thread>

namespace kavro {
namespace test {

namespace {

int Channel(unsigned long pixel, unsigned long mask) {
    if (!mask) return 0;
    int shift = 0;
    while (!((mask >> shift) & 1)) ++shift;
    const unsigned long max = mask >> shift;
    return int(((pixel & mask) >> shift) * 255 / max);
}

}  // namespace

X11TestClient::X11TestClient() : dpy_(XOpenDisplay(nullptr)) {}

X11TestClient::~X11TestClient() {
    if (dpy_) XCloseDisplay(dpy_);
}

int X11TestClient::Depth() const { return dpy_ ? DefaultDepth(dpy_, DefaultScreen(dpy_)) : 0; }

uint32_t X11TestClient::CreateWindow(int width, int height, int x, int y) {
    const int screen = DefaultScreen(dpy_);
    XSetWindowAttributes a;
    a.background_pixel = 0;
    a.event_mask = StructureNotifyMask;
    const Window w =
        XCreateWindow(dpy_, RootWindow(dpy_, screen), x, y, unsigned(width), unsigned(height), 0,
                      CopyFromParent, InputOutput, CopyFromParent, CWBackPixel | CWEventMask, &a);
    XMapWindow(dpy_, w);
    XSync(dpy_, False);
    XEvent ev;
    for (int i = 0; i < 200; ++i) {
        if (XCheckTypedWindowEvent(dpy_, w, MapNotify, &ev)) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return uint32_t(w);
}

void X11TestClient::Resize(uint32_t window, int width, int height) {
    XResizeWindow(dpy_, window, unsigned(width), unsigned(height));
    XSync(dpy_, False);
}

void X11TestClient::Destroy(uint32_t window) {
    XDestroyWindow(dpy_, window);
    XSync(dpy_, False);
}

std::vector<Pixel> X11TestClient::Read(uint32_t window, int* width, int* height) {
    std::vector<Pixel> out;
    XWindowAttributes a;
    if (!XGetWindowAttributes(dpy_, window, &a)) return out;
    XImage* img = XGetImage(dpy_, window, 0, 0, unsigned(a.width), unsigned(a.height), AllPlanes, ZPixmap);
    if (!img) return out;
    out.reserve(size_t(a.width) * a.height);
    for (int y = 0; y < a.height; ++y)
        for (int x = 0; x < a.width; ++x) {
            const unsigned long p = XGetPixel(img, x, y);
            out.push_back({Channel(p, a.visual->red_mask), Channel(p, a.visual->green_mask),
                           Channel(p, a.visual->blue_mask)});
        }
    XDestroyImage(img);
    *width = a.width;
    *height = a.height;
    return out;
}

uint32_t X11TestClient::InternAtom(const char* name) { return uint32_t(XInternAtom(dpy_, name, False)); }

bool X11TestClient::WaitClientMessage(uint32_t window, uint32_t timeoutMs, uint32_t* type, long* l0,
                                      long* l1) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        XEvent ev;
        if (XCheckTypedWindowEvent(dpy_, window, ClientMessage, &ev)) {
            *type = uint32_t(ev.xclient.message_type);
            *l0 = ev.xclient.data.l[0];
            *l1 = ev.xclient.data.l[1];
            return true;
        }
        pollfd p{ConnectionNumber(dpy_), POLLIN, 0};
        poll(&p, 1, 10);
    }
    return false;
}

}  // namespace test
}  // namespace kavro
