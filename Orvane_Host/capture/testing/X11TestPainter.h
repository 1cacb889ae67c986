#pragma once

#include <cstdint>
#include <string>

typedef struct _XDisplay Display;

namespace orvane {

// A small X client that paints known content for capture tests and benchmarks: one borderless
// window (no window manager needed) filled with solid rectangles.
class X11TestPainter {
public:
    // Opens `display` and maps a window over the given rectangle of the root. Throws
    // std::runtime_error when the display cannot be opened.
    X11TestPainter(const std::string& display, int x, int y, int width, int height);
    ~X11TestPainter();
    X11TestPainter(const X11TestPainter&) = delete;
    X11TestPainter& operator=(const X11TestPainter&) = delete;

    // Colour as 0xRRGGBB; coordinates within the window. Nothing shows until flush().
    void fill(int x, int y, int width, int height, uint32_t rgb);
    // A full repaint that differs every step: a moving gradient of bands with a counter block.
    void animate(int step);
    // Random pixels over the rectangle, different for every seed: content no encoder can
    // shrink, so a stream runs at its full bitrate.
    void noise(int x, int y, int width, int height, uint32_t seed);
    // Sends everything and waits until the server has drawn it.
    void flush();

    void movePointer(int rootX, int rootY);
    // Declares an extra RandR monitor over part of the root (as `xrandr --setmonitor` does).
    void addMonitor(const std::string& name, int x, int y, int width, int height, bool primary);
    void removeMonitor(const std::string& name);

    int width() const { return width_; }
    int height() const { return height_; }
    Display* display() const { return dpy_; }

private:
    Display* dpy_ = nullptr;
    unsigned long window_ = 0;
    void* gc_ = nullptr;
    int width_ = 0, height_ = 0;
};

}  // namespace orvane
