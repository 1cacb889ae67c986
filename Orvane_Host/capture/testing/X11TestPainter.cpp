#include "Orvane_Host/capture/testing/X11TestPainter.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xrandr.h>

#include <cstdlib>
#include <stdexcept>

namespace orvane {

X11TestPainter::X11TestPainter(const std::string& display, int x, int y, int width, int height)
    : width_(width), height_(height) {
    dpy_ = XOpenDisplay(display.c_str());
    if (!dpy_) throw std::runtime_error("cannot open display " + display);
    const int screen = DefaultScreen(dpy_);
    XSetWindowAttributes attrs{};
    attrs.override_redirect = True;
    attrs.background_pixel = BlackPixel(dpy_, screen);
    window_ = XCreateWindow(dpy_, DefaultRootWindow(dpy_), x, y, static_cast<unsigned>(width),
                            static_cast<unsigned>(height), 0, CopyFromParent, InputOutput,
                            CopyFromParent, CWOverrideRedirect | CWBackPixel, &attrs);
    XMapRaised(dpy_, window_);
    gc_ = XCreateGC(dpy_, window_, 0, nullptr);
    XSync(dpy_, False);
}

X11TestPainter::~X11TestPainter() {
    if (!dpy_) return;
    XFreeGC(dpy_, static_cast<GC>(gc_));
    XDestroyWindow(dpy_, window_);
    XCloseDisplay(dpy_);
}

void X11TestPainter::fill(int x, int y, int width, int height, uint32_t rgb) {
    XSetForeground(dpy_, static_cast<GC>(gc_), rgb);
    XFillRectangle(dpy_, window_, static_cast<GC>(gc_), x, y, static_cast<unsigned>(width),
                   static_cast<unsigned>(height));
}

void X11TestPainter::animate(int step) {
    const int bands = 16;
    const int bandWidth = (width_ + bands - 1) / bands;
    for (int i = 0; i < bands; ++i) {
        const int v = (step * 4 + i * 16) & 0xff;
        fill(i * bandWidth, 0, bandWidth, height_,
             static_cast<uint32_t>(v << 16 | (255 - v) << 8 | ((v * 3) & 0xff)));
    }
    // A counter block: its size and place change every step, as a clock in the picture would.
    fill(32 + (step * 7) % (width_ / 2), 32, 64 + step % 64, 64, 0xffffff);
}

void X11TestPainter::noise(int x, int y, int width, int height, uint32_t seed) {
    const int screen = DefaultScreen(dpy_);
    // XDestroyImage frees the pixels with free().
    auto* pixels = static_cast<uint32_t*>(std::malloc(sizeof(uint32_t) * width * height));
    if (!pixels) return;
    uint32_t state = seed * 2654435761u + 1;
    for (int i = 0; i < width * height; ++i) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        pixels[i] = state & 0xffffff;
    }
    XImage* image = XCreateImage(dpy_, DefaultVisual(dpy_, screen), 24, ZPixmap, 0,
                                 reinterpret_cast<char*>(pixels), static_cast<unsigned>(width),
                                 static_cast<unsigned>(height), 32, 0);
    if (!image) {
        std::free(pixels);
        return;
    }
    XPutImage(dpy_, window_, static_cast<GC>(gc_), image, 0, 0, x, y, static_cast<unsigned>(width),
              static_cast<unsigned>(height));
    XDestroyImage(image);
}

void X11TestPainter::flush() {
    XSync(dpy_, False);
}

void X11TestPainter::movePointer(int rootX, int rootY) {
    XWarpPointer(dpy_, None, DefaultRootWindow(dpy_), 0, 0, 0, 0, rootX, rootY);
    XSync(dpy_, False);
}

void X11TestPainter::addMonitor(const std::string& name, int x, int y, int width, int height,
                                bool primary) {
    XRRMonitorInfo* info = XRRAllocateMonitor(dpy_, 0);
    info->name = XInternAtom(dpy_, name.c_str(), False);
    info->primary = primary;
    info->automatic = False;
    info->x = x;
    info->y = y;
    info->width = width;
    info->height = height;
    info->mwidth = width / 4;
    info->mheight = height / 4;
    XRRSetMonitor(dpy_, DefaultRootWindow(dpy_), info);
    XRRFreeMonitors(info);
    XSync(dpy_, False);
}

void X11TestPainter::removeMonitor(const std::string& name) {
    XRRDeleteMonitor(dpy_, DefaultRootWindow(dpy_), XInternAtom(dpy_, name.c_str(), False));
    XSync(dpy_, False);
}

}  // namespace orvane
