#include "platform/X11Display.h"

#include <X11/Xft/Xft.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xrender.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "display/PixelConversion.h"

namespace kavro {

namespace {

// Xlib has one process-wide error handler. Errors on our own connections are counted here;
// those of the host's connections go on to whatever handler the host had installed.
std::mutex gTrapMutex;
std::map<Display*, std::atomic<int>*> gTrapped;
XErrorHandler gPreviousHandler = nullptr;
XIOErrorHandler gPreviousIOHandler = nullptr;
std::map<Display*, std::atomic<bool>*> gLost;

int TrapError(Display* dpy, XErrorEvent* ev) {
    XErrorHandler previous = nullptr;
    {
        std::lock_guard<std::mutex> g(gTrapMutex);
        auto it = gTrapped.find(dpy);
        if (it != gTrapped.end()) {
            it->second->fetch_add(1);
            return 0;
        }
        previous = gPreviousHandler;
    }
    return previous ? previous(dpy, ev) : 0;
}

// A broken connection of ours is marked lost and the call returns; the default handler would
// end the whole process. Xlib then calls the connection's exit handler, which returns too.
int TrapIOError(Display* dpy) {
    XIOErrorHandler previous = nullptr;
    {
        std::lock_guard<std::mutex> g(gTrapMutex);
        auto it = gLost.find(dpy);
        if (it != gLost.end()) {
            it->second->store(true);
            return 0;
        }
        previous = gPreviousIOHandler;
    }
    if (previous) return previous(dpy);
    std::exit(1);  // what Xlib's own handler does for the host's connections
}

void InstallErrorTrap() {
    static std::once_flag once;
    std::call_once(once, [] {
        XErrorHandler prev = XSetErrorHandler(TrapError);
        XIOErrorHandler prevIO = XSetIOErrorHandler(TrapIOError);
        std::lock_guard<std::mutex> g(gTrapMutex);
        gPreviousHandler = prev;
        gPreviousIOHandler = prevIO;
    });
}

void MarkLost(Display*, void* userData) { static_cast<std::atomic<bool>*>(userData)->store(true); }

// Xft keeps process-wide state per display without a lock of its own.
std::mutex gXftMutex;

XRenderColor RenderColor(uint16_t r, uint16_t g, uint16_t b) {
    XRenderColor c;
    c.red = r;
    c.green = g;
    c.blue = b;
    c.alpha = 0xFFFF;
    return c;
}

}  // namespace

struct X11Display::Impl : IOverlayCanvas {
    Display* dpy = nullptr;
    std::atomic<int> errors{0};
    std::atomic<bool> lost{false};
    bool shmAvailable = false;

    // Back buffer.
    Pixmap backPixmap = 0;
    Picture backPicture = 0;
    GC gc = nullptr;
    XftDraw* xftDraw = nullptr;
    Visual* backVisual = nullptr;
    Colormap backColormap = 0;
    int32_t backWidth = 0, backHeight = 0;
    XftFont* recFont = nullptr;
    XftFont* plainFont = nullptr;
    bool coloursMade = false;
    XftColor white{}, red{}, black{};

    // Picture surface.
    XImage* image = nullptr;
    XShmSegmentInfo shm{};
    bool usingShm = false;
    Pixmap picturePixmap = 0;
    Picture picturePicture = 0;
    int32_t pictureWidth = 0, pictureHeight = 0;

    // Counts errors raised so far and forgets them; a round trip first makes them arrive.
    bool Sync() {
        if (!dpy || lost) return false;
        XSync(dpy, False);
        return errors.exchange(0) == 0 && !lost;
    }

    bool Window(uint32_t window, XWindowAttributes* attrs) {
        if (!dpy || lost || window == 0) return false;
        errors = 0;
        Status ok = XGetWindowAttributes(dpy, window, attrs);
        return ok != 0 && errors.exchange(0) == 0 && !lost;
    }

    void FreeColours() {
        if (!coloursMade) return;
        XftColorFree(dpy, backVisual, backColormap, &white);
        XftColorFree(dpy, backVisual, backColormap, &red);
        XftColorFree(dpy, backVisual, backColormap, &black);
        coloursMade = false;
    }

    void ReleaseBack() {
        if (!dpy) return;
        std::lock_guard<std::mutex> g(gXftMutex);
        if (xftDraw) XftDrawDestroy(xftDraw);
        xftDraw = nullptr;
        FreeColours();
        if (backPicture) XRenderFreePicture(dpy, backPicture);
        backPicture = 0;
        if (gc) XFreeGC(dpy, gc);
        gc = nullptr;
        if (backPixmap) XFreePixmap(dpy, backPixmap);
        backPixmap = 0;
        backWidth = backHeight = 0;
        Sync();
    }

    void ReleasePicture() {
        if (!dpy) return;
        if (picturePicture) XRenderFreePicture(dpy, picturePicture);
        picturePicture = 0;
        if (picturePixmap) XFreePixmap(dpy, picturePixmap);
        picturePixmap = 0;
        if (image) {
            if (usingShm) {
                XShmDetach(dpy, &shm);
                Sync();
                XDestroyImage(image);  // frees the XImage record, not the segment
                shmdt(shm.shmaddr);
            } else {
                XDestroyImage(image);  // frees the pixel memory we gave it
            }
        }
        image = nullptr;
        usingShm = false;
        std::memset(&shm, 0, sizeof shm);
        pictureWidth = pictureHeight = 0;
    }

    XImage* MakeSharedImage(Visual* visual, int depth, int32_t w, int32_t h) {
        XImage* img =
            XShmCreateImage(dpy, visual, unsigned(depth), ZPixmap, nullptr, &shm, unsigned(w), unsigned(h));
        if (!img) return nullptr;
        const size_t bytes = size_t(img->bytes_per_line) * size_t(img->height);
        shm.shmid = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
        if (shm.shmid < 0) {
            XDestroyImage(img);
            return nullptr;
        }
        shm.shmaddr = img->data = static_cast<char*>(shmat(shm.shmid, nullptr, 0));
        shm.readOnly = False;
        if (shm.shmaddr == reinterpret_cast<char*>(-1)) {
            shmctl(shm.shmid, IPC_RMID, nullptr);
            img->data = nullptr;
            XDestroyImage(img);
            return nullptr;
        }
        errors = 0;
        XShmAttach(dpy, &shm);
        const bool attached = Sync();
        // Marked for removal now: the segment goes away once both sides detach, on every path.
        shmctl(shm.shmid, IPC_RMID, nullptr);
        if (!attached) {
            shmdt(shm.shmaddr);
            img->data = nullptr;
            XDestroyImage(img);
            return nullptr;
        }
        return img;
    }

    XImage* MakePlainImage(Visual* visual, int depth, int32_t w, int32_t h) {
        XImage* img =
            XCreateImage(dpy, visual, unsigned(depth), ZPixmap, 0, nullptr, unsigned(w), unsigned(h), 32, 0);
        if (!img) return nullptr;
        img->data = static_cast<char*>(std::calloc(size_t(img->bytes_per_line), size_t(h)));
        if (!img->data) {
            XDestroyImage(img);
            return nullptr;
        }
        return img;
    }

    bool FontsAndColours() {
        if (!xftDraw) return false;
        std::lock_guard<std::mutex> g(gXftMutex);
        if (!recFont) recFont = XftFontOpenName(dpy, DefaultScreen(dpy), "Arial:bold:pixelsize=15");
        if (!plainFont) plainFont = XftFontOpenName(dpy, DefaultScreen(dpy), "sans:pixelsize=13");
        if (!coloursMade) {
            XRenderColor w = RenderColor(0xFFFF, 0xFFFF, 0xFFFF), r = RenderColor(0xFFFF, 0, 0),
                         b = RenderColor(0, 0, 0);
            coloursMade = XftColorAllocValue(dpy, backVisual, backColormap, &w, &white) &&
                          XftColorAllocValue(dpy, backVisual, backColormap, &r, &red) &&
                          XftColorAllocValue(dpy, backVisual, backColormap, &b, &black);
        }
        return recFont && plainFont && coloursMade;
    }

    // IOverlayCanvas
    bool Ready() override { return FontsAndColours(); }

    void FrameRect(int32_t l, int32_t t, int32_t r, int32_t b, OverlayColour colour) override {
        if (!gc || r <= l || b <= t) return;
        XSetForeground(dpy, gc, colour == OverlayColour::kRed ? red.pixel : white.pixel);
        XDrawRectangle(dpy, backPixmap, gc, l, t, unsigned(r - l - 1), unsigned(b - t - 1));
    }

    void Text(XftFont* font, const XftColor& fg, const XftColor* bg, int32_t x, int32_t y, const char* s,
              size_t n) {
        if (!xftDraw || !font || n == 0) return;
        std::lock_guard<std::mutex> g(gXftMutex);
        const FcChar8* text = reinterpret_cast<const FcChar8*>(s);
        if (bg) {
            XGlyphInfo ext;
            XftTextExtentsUtf8(dpy, font, text, int(n), &ext);
            XftDrawRect(xftDraw, bg, x, y, unsigned(ext.xOff), unsigned(font->ascent + font->descent));
        }
        XftDrawStringUtf8(xftDraw, &fg, font, x, y + font->ascent, text, int(n));
    }

    // Region numbers: black on an opaque white cell, the plain text settings of a fresh drawing context.
    void DrawPlainText(int32_t x, int32_t y, const char* s, size_t n) override {
        Text(plainFont, black, &white, x, y, s, n);
    }
    void DrawRecordingText(int32_t x, int32_t y, const char* s, size_t n) override {
        Text(recFont, red, nullptr, x, y, s, n);
    }
};

X11Display::X11Display() : impl_(new Impl) {}

X11Display::~X11Display() { Close(); }

bool X11Display::Open() {
    if (impl_->dpy) return !impl_->lost;
    InstallErrorTrap();
    Display* dpy = XOpenDisplay(nullptr);
    if (!dpy) return false;
    {
        std::lock_guard<std::mutex> g(gTrapMutex);
        gTrapped[dpy] = &impl_->errors;
        gLost[dpy] = &impl_->lost;
    }
    impl_->lost = false;
    impl_->errors = 0;
    // A broken server connection must not end the host's process from inside our connection.
    XSetIOErrorExitHandler(dpy, MarkLost, &impl_->lost);
    impl_->dpy = dpy;
    int major = 0, minor = 0;
    Bool pixmaps = False;
    impl_->shmAvailable = XShmQueryVersion(dpy, &major, &minor, &pixmaps) != 0;
    return true;
}

void X11Display::Close() {
    Impl& d = *impl_;
    if (!d.dpy) return;
    if (!d.lost) {
        d.ReleasePicture();
        d.ReleaseBack();
        std::lock_guard<std::mutex> g(gXftMutex);
        if (d.recFont) XftFontClose(d.dpy, d.recFont);
        if (d.plainFont) XftFontClose(d.dpy, d.plainFont);
    } else if (d.image) {
        // The server is gone: only our own memory is left to free.
        if (d.usingShm) {
            shmdt(d.shm.shmaddr);
        } else {
            std::free(d.image->data);
        }
        d.image->data = nullptr;
        XFree(d.image);
    }
    d.recFont = d.plainFont = nullptr;
    d.image = nullptr;
    d.xftDraw = nullptr;
    d.gc = nullptr;
    d.backPixmap = d.picturePixmap = 0;
    d.backPicture = d.picturePicture = 0;
    d.coloursMade = false;
    XCloseDisplay(d.dpy);
    {
        std::lock_guard<std::mutex> g(gTrapMutex);
        gTrapped.erase(d.dpy);
        gLost.erase(d.dpy);
    }
    d.dpy = nullptr;
}

bool X11Display::IsOpen() const { return impl_->dpy != nullptr; }

bool X11Display::IsLost() const { return impl_->lost; }

bool X11Display::QueryWindow(uint32_t window, X11WindowInfo* info) {
    XWindowAttributes a;
    if (!impl_->Window(window, &a)) return false;
    info->width = a.width;
    info->height = a.height;
    info->depth = a.depth;
    info->surfaceFormat = kFormatNone;
    int count = 0;
    XPixmapFormatValues* formats = XListPixmapFormats(impl_->dpy, &count);
    int bitsPerPixel = 0;
    for (int i = 0; formats && i < count; ++i)
        if (formats[i].depth == a.depth) bitsPerPixel = formats[i].bits_per_pixel;
    if (formats) XFree(formats);
    const Visual* v = a.visual;
    // Our converters write little-endian pixels.
    if (v && ImageByteOrder(impl_->dpy) == LSBFirst) {
        if (bitsPerPixel == 32 && v->red_mask == 0xFF0000 && v->blue_mask == 0xFF)
            info->surfaceFormat = kFormatRGB32;
        else if (bitsPerPixel == 24 && v->red_mask == 0xFF0000 && v->blue_mask == 0xFF)
            info->surfaceFormat = kFormatRGB24;
        else if (bitsPerPixel == 16 && v->red_mask == 0xF800)
            info->surfaceFormat = kFormatRGB565;
        else if (bitsPerPixel == 16 && v->red_mask == 0x7C00)
            info->surfaceFormat = kFormatRGB555;
    }
    return true;
}

bool X11Display::CreateBackBuffer(uint32_t window, int32_t width, int32_t height) {
    Impl& d = *impl_;
    d.ReleaseBack();
    XWindowAttributes a;
    if (width <= 0 || height <= 0 || !d.Window(window, &a)) return false;
    XRenderPictFormat* fmt = XRenderFindVisualFormat(d.dpy, a.visual);
    if (!fmt) return false;
    d.backPixmap = XCreatePixmap(d.dpy, window, unsigned(width), unsigned(height), unsigned(a.depth));
    XGCValues gv;
    gv.graphics_exposures = False;
    d.gc = XCreateGC(d.dpy, d.backPixmap, GCGraphicsExposures, &gv);
    d.backPicture = XRenderCreatePicture(d.dpy, d.backPixmap, fmt, 0, nullptr);
    d.backVisual = a.visual;
    d.backColormap = a.colormap;
    {
        std::lock_guard<std::mutex> g(gXftMutex);
        d.xftDraw = XftDrawCreate(d.dpy, d.backPixmap, a.visual, a.colormap);
    }
    d.backWidth = width;
    d.backHeight = height;
    if (!d.xftDraw || !d.Sync()) {
        d.ReleaseBack();
        return false;
    }
    return true;
}

void X11Display::ReleaseBackBuffer() { impl_->ReleaseBack(); }

bool X11Display::HasBackBuffer() const { return impl_->backPixmap != 0; }

bool X11Display::CreatePictureSurface(uint32_t window, int32_t width, int32_t height) {
    Impl& d = *impl_;
    d.ReleasePicture();
    XWindowAttributes a;
    if (width <= 0 || height <= 0 || !d.Window(window, &a)) return false;
    XRenderPictFormat* fmt = XRenderFindVisualFormat(d.dpy, a.visual);
    if (!fmt) return false;
    if (d.shmAvailable) {
        d.image = d.MakeSharedImage(a.visual, a.depth, width, height);
        d.usingShm = d.image != nullptr;
    }
    if (!d.image) d.image = d.MakePlainImage(a.visual, a.depth, width, height);
    if (!d.image) return false;
    d.picturePixmap = XCreatePixmap(d.dpy, window, unsigned(width), unsigned(height), unsigned(a.depth));
    XRenderPictureAttributes pa;
    pa.repeat = RepeatPad;  // edge pixels are not blended with black when scaling
    d.picturePicture = XRenderCreatePicture(d.dpy, d.picturePixmap, fmt, CPRepeat, &pa);
    XRenderSetPictureFilter(d.dpy, d.picturePicture, FilterBilinear, nullptr, 0);
    d.pictureWidth = width;
    d.pictureHeight = height;
    if (!d.Sync()) {
        d.ReleasePicture();
        return false;
    }
    return true;
}

void X11Display::ReleasePictureSurface() { impl_->ReleasePicture(); }

bool X11Display::HasPictureSurface() const { return impl_->image != nullptr; }

uint8_t* X11Display::PictureData() {
    return impl_->image ? reinterpret_cast<uint8_t*>(impl_->image->data) : nullptr;
}

int32_t X11Display::PicturePitch() const { return impl_->image ? impl_->image->bytes_per_line : 0; }

bool X11Display::UsesSharedMemory() const { return impl_->usingShm; }

bool X11Display::UploadPicture() {
    Impl& d = *impl_;
    if (!d.dpy || d.lost || !d.image || !d.picturePixmap || !d.gc) return false;
    if (d.usingShm)
        XShmPutImage(d.dpy, d.picturePixmap, d.gc, d.image, 0, 0, 0, 0, unsigned(d.pictureWidth),
                     unsigned(d.pictureHeight), False);
    else
        XPutImage(d.dpy, d.picturePixmap, d.gc, d.image, 0, 0, 0, 0, unsigned(d.pictureWidth),
                  unsigned(d.pictureHeight));
    return true;
}

bool X11Display::StretchPictureToBack() {
    Impl& d = *impl_;
    if (!d.dpy || d.lost || !d.picturePicture || !d.backPicture) return false;
    XTransform t;
    std::memset(&t, 0, sizeof t);
    t.matrix[0][0] = XDoubleToFixed(double(d.pictureWidth) / d.backWidth);
    t.matrix[1][1] = XDoubleToFixed(double(d.pictureHeight) / d.backHeight);
    t.matrix[2][2] = XDoubleToFixed(1.0);
    XRenderSetPictureTransform(d.dpy, d.picturePicture, &t);
    XRenderComposite(d.dpy, PictOpSrc, d.picturePicture, 0, d.backPicture, 0, 0, 0, 0, 0, 0,
                     unsigned(d.backWidth), unsigned(d.backHeight));
    return true;
}

IOverlayCanvas* X11Display::BackCanvas() { return impl_->xftDraw ? impl_.get() : nullptr; }

bool X11Display::CopyBackToWindow(uint32_t window) {
    Impl& d = *impl_;
    if (!d.dpy || d.lost || !d.backPixmap || window == 0) return false;
    XCopyArea(d.dpy, d.backPixmap, window, d.gc, 0, 0, unsigned(d.backWidth), unsigned(d.backHeight), 0, 0);
    return d.Sync();
}

bool X11Display::SendClientMessage(uint32_t window, uint32_t messageType, long data0, long data1) {
    Impl& d = *impl_;
    if (!d.dpy || d.lost || window == 0) return false;
    XEvent ev;
    std::memset(&ev, 0, sizeof ev);
    ev.xclient.type = ClientMessage;
    ev.xclient.window = window;
    ev.xclient.message_type = messageType;
    ev.xclient.format = 32;
    ev.xclient.data.l[0] = data0;
    ev.xclient.data.l[1] = data1;
    d.errors = 0;
    const Status sent = XSendEvent(d.dpy, window, False, NoEventMask, &ev);
    return d.Sync() && sent != 0;
}

}  // namespace kavro
