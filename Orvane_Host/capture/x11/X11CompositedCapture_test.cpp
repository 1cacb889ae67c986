#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

#include "OrvaneKit/net/testing/ChildProcess.h"
#include "Orvane_Host/capture/testing/X11TestPainter.h"
#include "Orvane_Host/capture/testing/XvfbServer.h"
#include "Orvane_Host/capture/x11/X11Monitors.h"
#include "Orvane_Host/capture/x11/X11ScreenSource.h"

// Xlib last: its macros (None, Status, Bool) would clash with the headers above.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xcomposite.h>
#include <X11/extensions/shape.h>

namespace orvane {
namespace {

using namespace std::chrono_literals;

constexpr uint32_t appColour = 0x3080c0;

int lumaOf(uint32_t rgb) {
    const double r = ((rgb >> 16) & 0xff) / 255.0, g = ((rgb >> 8) & 0xff) / 255.0,
                 b = (rgb & 0xff) / 255.0;
    return static_cast<int>(16 + 219 * (0.2126 * r + 0.7152 * g + 0.0722 * b) + 0.5);
}

// A test client that makes plain windows of one colour (the server paints their background).
class Scene {
public:
    explicit Scene(const std::string& display) : dpy_(XOpenDisplay(display.c_str())) {}
    ~Scene() {
        if (dpy_) XCloseDisplay(dpy_);
    }
    bool ok() const { return dpy_ != nullptr; }

    // Override-redirect windows need no window manager; others are managed when one runs.
    Window window(int x, int y, int w, int h, uint32_t rgb, bool overrideRedirect = true,
                  bool map = true) {
        XSetWindowAttributes a{};
        a.background_pixel = rgb;
        a.override_redirect = overrideRedirect;
        const Window win = XCreateWindow(
            dpy_, DefaultRootWindow(dpy_), x, y, static_cast<unsigned>(w), static_cast<unsigned>(h),
            0, CopyFromParent, InputOutput, CopyFromParent, CWBackPixel | CWOverrideRedirect, &a);
        if (map) XMapRaised(dpy_, win);
        XSync(dpy_, False);
        return win;
    }
    void recolour(Window w, uint32_t rgb) {
        XSetWindowBackground(dpy_, w, rgb);
        XClearWindow(dpy_, w);
        XSync(dpy_, False);
    }
    // Keeps only a frame `thickness` wide of the window, as the session border does.
    void ring(Window w, int width, int height, int thickness) {
        XRectangle r[4] = {
            {0, 0, static_cast<unsigned short>(width), static_cast<unsigned short>(thickness)},
            {0, static_cast<short>(height - thickness), static_cast<unsigned short>(width),
             static_cast<unsigned short>(thickness)},
            {0, 0, static_cast<unsigned short>(thickness), static_cast<unsigned short>(height)},
            {static_cast<short>(width - thickness), 0, static_cast<unsigned short>(thickness),
             static_cast<unsigned short>(height)}};
        XShapeCombineRectangles(dpy_, w, ShapeBounding, 0, 0, r, 4, ShapeSet, Unsorted);
        XSync(dpy_, False);
    }
    void run(const std::function<void(Display*)>& f) {
        f(dpy_);
        XSync(dpy_, False);
    }
    // What the screen itself shows.
    uint32_t rootPixel(int x, int y) {
        XImage* image = XGetImage(dpy_, DefaultRootWindow(dpy_), x, y, 1, 1, AllPlanes, ZPixmap);
        const uint32_t p = image ? static_cast<uint32_t>(XGetPixel(image, 0, 0)) & 0xffffff : 0;
        if (image) XDestroyImage(image);
        return p;
    }
    // The top-level holding `w` (a window manager's frame, or `w` itself).
    Window topLevel(Window w) {
        for (;;) {
            Window root = 0, parent = 0, *kids = nullptr;
            unsigned n = 0;
            if (!XQueryTree(dpy_, w, &root, &parent, &kids, &n)) return 0;
            if (kids) XFree(kids);
            if (parent == root) return w;
            w = parent;
        }
    }

private:
    Display* dpy_;
};

class X11CompositedCapture : public ::testing::Test {
protected:
    XvfbServer server;
    std::unique_ptr<X11ScreenSource> source;
    std::unique_ptr<Scene> scene;
    std::unique_ptr<ScreenStream> stream;

    std::mutex mutex;
    std::condition_variable changed;
    std::shared_ptr<FrameBuffer> latest;
    size_t frames = 0;

    void SetUp() override { startServer({}); }
    void TearDown() override {
        if (stream) stream->stop();
    }

    void startServer(const std::vector<std::string>& extra) {
        if (stream) stream->stop();
        stream.reset();
        scene.reset();
        if (!server.start(1920, 1080, extra))
            GTEST_SKIP() << "no X server for capture tests: " << server.error();
        source = std::make_unique<X11ScreenSource>(server.display());
        scene = std::make_unique<Scene>(server.display());
        ASSERT_TRUE(scene->ok());
    }

    void start(std::set<uint32_t> excluded, std::optional<CaptureDisplay> display = {}) {
        if (!display) display = source->displays().front();
        StreamConfig config;
        config.width = static_cast<int>(display->width);
        config.height = static_cast<int>(display->height);
        config.fps = 30;
        config.excludedWindows = std::move(excluded);
        StreamSink sink;
        sink.onFrame = [this](CapturedFrame f) {
            std::lock_guard lock(mutex);
            latest = std::move(f.buffer);
            ++frames;
            changed.notify_all();
        };
        stream = source->startStream(*display, config, std::move(sink));
    }

    size_t frameCount() {
        std::lock_guard lock(mutex);
        return frames;
    }

    int lumaAt(int x, int y) {
        std::lock_guard lock(mutex);
        return latest ? latest->data(0)[static_cast<size_t>(y) * latest->stride(0) + x] : -1;
    }

    // Waits until the latest frame has these lumas at these points.
    bool waitFor(std::vector<std::tuple<int, int, uint32_t>> points,
                 std::chrono::milliseconds timeout = 5s) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, [&] {
            if (!latest) return false;
            for (auto [x, y, rgb] : points)
                if (std::abs(latest->data(0)[static_cast<size_t>(y) * latest->stride(0) + x] -
                             lumaOf(rgb)) > 2)
                    return false;
            return true;
        });
    }

    std::string describe(std::vector<std::pair<int, int>> points) {
        std::string s;
        for (auto [x, y] : points)
            s += "(" + std::to_string(x) + "," + std::to_string(y) +
                 ")=" + std::to_string(lumaAt(x, y)) + " ";
        return s;
    }

    // The notes' scene: an app under a full-screen black curtain, the curtain left out.
    Window curtainOverApp(bool managedApp = false) {
        scene->window(200, 150, 800, 600, appColour, !managedApp);
        return scene->window(0, 0, 1920, 1080, 0x000000, true, false);
    }
};

TEST_F(X11CompositedCapture, ExclusionNeedsTheCompositingExtensions) {
    EXPECT_TRUE(source->canExcludeWindows());
    startServer({"-extension", "Composite"});
    EXPECT_FALSE(source->canExcludeWindows());
    const Window curtain = scene->window(0, 0, 100, 100, 0);
    try {
        start({static_cast<uint32_t>(curtain)});
        FAIL() << "a stream that cannot leave the window out started";
    } catch (const PlatformError& e) {
        EXPECT_EQ(e.code, X11ScreenSource::missingExtension);
    }
}

// The screen shows the curtain; the capture shows what lies under it, follows changes there,
// and stays quiet while nothing but the curtain changes.
TEST_F(X11CompositedCapture, CurtainIsLeftOutAndChangesUnderItArrive) {
    const Window curtain = curtainOverApp();
    start({static_cast<uint32_t>(curtain)});
    scene->run([&](Display* d) { XMapRaised(d, curtain); });  // after the capture started

    EXPECT_EQ(scene->rootPixel(500, 400), 0u) << "the curtain is not up";
    ASSERT_TRUE(waitFor({{500, 400, appColour}, {50, 50, 0x000000}}))
        << describe({{500, 400}, {50, 50}});

    std::this_thread::sleep_for(400ms);  // repaints that follow the redirect settle
    const size_t settled = frameCount();
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(frameCount(), settled) << "a still screen produced frames";

    scene->recolour(curtain, 0x000000);  // the curtain repaints itself
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(frameCount(), settled) << "the excluded window's repaint produced a frame";

    scene->run([&](Display* d) {
        // A repaint under the curtain reaches no pixel of the screen, yet the capture sees it.
        Window root = 0, parent = 0, *kids = nullptr;
        unsigned n = 0;
        XQueryTree(d, DefaultRootWindow(d), &root, &parent, &kids, &n);
        for (unsigned i = 0; i < n; ++i)
            if (kids[i] != curtain) {
                XSetWindowBackground(d, kids[i], 0x00ff00);
                XClearWindow(d, kids[i]);
            }
        if (kids) XFree(kids);
    });
    EXPECT_TRUE(waitFor({{500, 400, 0x00ff00}})) << describe({{500, 400}});
    EXPECT_EQ(scene->rootPixel(500, 400), 0u);
}

// Windows are redirected off-screen only while a stream leaves some out.
TEST_F(X11CompositedCapture, RedirectLastsAsLongAsTheStream) {
    const Window app = scene->window(200, 150, 800, 600, appColour);
    x11::installErrorHandlers();
    const auto redirected = [&] {
        int error = 0;
        scene->run([&](Display* d) {
            x11::lastError() = 0;
            const Pixmap p = XCompositeNameWindowPixmap(d, app);  // only redirected windows
            XSync(d, False);
            error = x11::lastError();
            if (!error) XFreePixmap(d, p);
        });
        return error == 0;
    };
    EXPECT_FALSE(redirected());
    start({static_cast<uint32_t>(app) + 1000});
    EXPECT_TRUE(redirected());
    stream->stop();
    EXPECT_FALSE(redirected());
    start({});
    EXPECT_FALSE(redirected()) << "a stream that leaves nothing out redirected";
}

// A curtain already up when the capture starts: the windows under it hold the curtain's
// pixels until they repaint, which the redirect makes them do.
TEST_F(X11CompositedCapture, CurtainAlreadyUpWhenTheCaptureStarts) {
    const Window curtain = curtainOverApp();
    scene->run([&](Display* d) { XMapRaised(d, curtain); });
    start({static_cast<uint32_t>(curtain)});
    EXPECT_TRUE(waitFor({{500, 400, appColour}})) << describe({{500, 400}});
}

// A shaped window paints only inside its shape: without the clip the rest of its pixmap would
// blacken what lies below.
TEST_F(X11CompositedCapture, ShapedWindowsPaintOnlyTheirShape) {
    scene->window(200, 150, 800, 600, appColour);
    const Window ring = scene->window(0, 0, 1920, 1080, 0xff0000);
    scene->ring(ring, 1920, 1080, 20);
    const Window curtain = scene->window(0, 0, 1920, 1080, 0x000000, true, false);
    start({static_cast<uint32_t>(curtain)});
    scene->run([&](Display* d) { XMapRaised(d, curtain); });
    EXPECT_TRUE(waitFor({{10, 10, 0xff0000}, {1910, 540, 0xff0000}, {500, 400, appColour}}))
        << describe({{10, 10}, {1910, 540}, {500, 400}});
    // The ring's pixmap holds stale pixels inside: only the clip lets the new colour through.
    scene->run([&](Display* d) {
        Window root = 0, parent = 0, *kids = nullptr;
        unsigned n = 0;
        XQueryTree(d, DefaultRootWindow(d), &root, &parent, &kids, &n);
        XSetWindowBackground(d, kids[0], 0x00ff00);  // the app, lowest
        XClearWindow(d, kids[0]);
        if (kids) XFree(kids);
    });
    EXPECT_TRUE(waitFor({{10, 10, 0xff0000}, {500, 400, 0x00ff00}})) << describe({{500, 400}});
}

// A window with an alpha channel (client-side shadows, rounded corners) blends over what lies
// below; copied as it is, its transparent pixels would turn black.
TEST_F(X11CompositedCapture, TranslucentWindowsBlend) {
    scene->window(200, 150, 800, 600, appColour);
    bool argb = false;
    scene->run([&](Display* d) {
        XVisualInfo want{};
        want.depth = 32;
        want.c_class = TrueColor;
        int n = 0;
        XVisualInfo* vi = XGetVisualInfo(d, VisualDepthMask | VisualClassMask, &want, &n);
        if (!vi) return;
        argb = true;
        XSetWindowAttributes a{};
        a.colormap = XCreateColormap(d, DefaultRootWindow(d), vi->visual, AllocNone);
        a.background_pixel = 0;  // fully transparent
        a.border_pixel = 0;
        a.override_redirect = True;
        const Window w = XCreateWindow(
            d, DefaultRootWindow(d), 100, 100, 1200, 900, 0, 32, InputOutput, vi->visual,
            CWColormap | CWBackPixel | CWBorderPixel | CWOverrideRedirect, &a);
        XMapRaised(d, w);
        XFree(vi);
    });
    if (!argb) GTEST_SKIP() << "the X server offers no 32-bit visual";
    const Window curtain = scene->window(0, 0, 1920, 1080, 0x000000, true, false);
    start({static_cast<uint32_t>(curtain)});
    scene->run([&](Display* d) { XMapRaised(d, curtain); });
    EXPECT_TRUE(waitFor({{500, 400, appColour}})) << describe({{500, 400}});
}

// Overlapping windows in stacking order, kept up to date as they are raised, moved, resized,
// unmapped and destroyed while the capture runs.
TEST_F(X11CompositedCapture, FollowsStackingAndGeometry) {
    const Window a = scene->window(100, 100, 400, 300, 0xff0000);
    const Window b = scene->window(300, 200, 400, 300, 0x00ff00);
    const Window c = scene->window(500, 300, 400, 300, 0x0000ff);
    const Window hidden = scene->window(0, 0, 10, 10, 0xffffff, true, false);
    start({static_cast<uint32_t>(hidden)});
    // b over a, c over b.
    ASSERT_TRUE(waitFor({{150, 150, 0xff0000}, {350, 250, 0x00ff00}, {550, 350, 0x0000ff}}))
        << describe({{150, 150}, {350, 250}, {550, 350}});

    struct Step {
        const char* what;
        std::function<void(Display*)> act;
        std::vector<std::tuple<int, int, uint32_t>> expect;
    };
    const Step steps[] = {
        {"raise a",
         [&](Display* d) { XRaiseWindow(d, a); },
         {{350, 250, 0xff0000}, {450, 350, 0xff0000}, {650, 350, 0x0000ff}}},
        {"move c",
         [&](Display* d) { XMoveWindow(d, c, 1200, 600); },
         {{650, 450, 0x00ff00}, {1300, 700, 0x0000ff}}},
        {"grow c", [&](Display* d) { XResizeWindow(d, c, 600, 400); }, {{1750, 950, 0x0000ff}}},
        {"unmap a",
         [&](Display* d) { XUnmapWindow(d, a); },
         {{150, 150, 0x000000}, {350, 250, 0x00ff00}}},
        {"destroy b", [&](Display* d) { XDestroyWindow(d, b); }, {{350, 250, 0x000000}}},
        {"map a", [&](Display* d) { XMapWindow(d, a); }, {{150, 150, 0xff0000}}},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.what);
        scene->run(s.act);
        std::vector<std::pair<int, int>> at;
        for (auto [x, y, rgb] : s.expect) at.push_back({x, y});
        EXPECT_TRUE(waitFor(s.expect)) << describe(at);
    }
    // A window made and mapped while the screen is still is a change of its own.
    std::this_thread::sleep_for(300ms);
    scene->window(1500, 100, 200, 200, 0xffff00);
    EXPECT_TRUE(waitFor({{1600, 200, 0xffff00}})) << describe({{1600, 200}});
}

// With nothing visible left out, the composed picture is the screen itself.
TEST_F(X11CompositedCapture, NothingLeftOutMatchesTheScreen) {
    scene->window(0, 0, 1920, 1080, 0x505050);  // covers the root's background
    for (int i = 0; i < 4; ++i)
        scene->window(150 + 300 * i, 100 + 180 * i, 700, 500, 0x2040a0u + 0x301000u * i);
    const Window ring = scene->window(0, 0, 1920, 1080, 0xff0000);
    scene->ring(ring, 1920, 1080, 30);
    const Window hidden = scene->window(0, 0, 10, 10, 0xffffff, true, false);
    start({static_cast<uint32_t>(hidden)});
    ASSERT_TRUE(waitFor({{15, 15, 0xff0000}}));
    std::this_thread::sleep_for(300ms);
    std::vector<std::tuple<int, int, uint32_t>> grid;
    for (int y = 10; y < 1080; y += 67)
        for (int x = 10; x < 1920; x += 97) grid.emplace_back(x, y, scene->rootPixel(x, y));
    std::vector<std::pair<int, int>> at;
    for (auto [x, y, rgb] : grid) at.push_back({x, y});
    EXPECT_TRUE(waitFor(grid, 1s)) << describe(at);
}

// On one monitor of several the picture is that monitor's part of the composed desktop.
TEST_F(X11CompositedCapture, OneMonitorOfTwo) {
    X11TestPainter monitors(server.display(), 0, 0, 1, 1);
    monitors.addMonitor("LEFT", 0, 0, 960, 1080, true);
    monitors.addMonitor("RIGHT", 960, 0, 960, 1080, false);
    scene->window(0, 0, 960, 1080, 0xff0000);
    scene->window(960, 0, 960, 1080, appColour);
    const Window curtain = scene->window(0, 0, 1920, 1080, 0x000000, true, false);
    std::optional<CaptureDisplay> right;
    for (const CaptureDisplay& d : source->displays())
        if (d.name == "RIGHT") right = d;
    ASSERT_TRUE(right);
    start({static_cast<uint32_t>(curtain)}, right);
    scene->run([&](Display* d) { XMapRaised(d, curtain); });
    EXPECT_TRUE(waitFor({{5, 5, appColour}, {950, 1070, appColour}}))
        << describe({{5, 5}, {950, 1070}});
    std::lock_guard lock(mutex);
    EXPECT_EQ(latest->width(), 960);
}

// No window holds the desktop background: the picture takes the desktop's background pixmap,
// and follows when it changes.
TEST_F(X11CompositedCapture, DesktopBackgroundFromTheRootPixmap) {
    const auto setBackground = [&](uint32_t rgb) {
        scene->run([&](Display* d) {
            const Window root = DefaultRootWindow(d);
            const Pixmap p = XCreatePixmap(d, root, 64, 64, 24);
            const GC gc = XCreateGC(d, p, 0, nullptr);
            XSetForeground(d, gc, rgb);
            XFillRectangle(d, p, gc, 0, 0, 64, 64);
            XFreeGC(d, gc);
            XChangeProperty(d, root, XInternAtom(d, "_XROOTPMAP_ID", False), XA_PIXMAP, 32,
                            PropModeReplace, reinterpret_cast<const unsigned char*>(&p), 1);
        });
    };
    setBackground(0x404040);
    const Window curtain = curtainOverApp();
    start({static_cast<uint32_t>(curtain)});
    scene->run([&](Display* d) { XMapRaised(d, curtain); });
    EXPECT_TRUE(waitFor({{50, 50, 0x404040}, {1900, 1000, 0x404040}, {500, 400, appColour}}))
        << describe({{50, 50}, {1900, 1000}, {500, 400}});
    setBackground(0xc0c0c0);
    EXPECT_TRUE(waitFor({{50, 50, 0xc0c0c0}})) << describe({{50, 50}});
}

// With a compositing manager running the capture still composes for itself.
TEST_F(X11CompositedCapture, UnderACompositingManager) {
    if (!std::filesystem::exists("/usr/bin/xcompmgr")) GTEST_SKIP() << "xcompmgr is not installed";
    ChildProcess manager({"/usr/bin/xcompmgr", "-d", server.display()});
    std::this_thread::sleep_for(300ms);
    const Window curtain = curtainOverApp();
    start({static_cast<uint32_t>(curtain)});
    scene->run([&](Display* d) { XMapRaised(d, curtain); });
    EXPECT_TRUE(waitFor({{500, 400, appColour}})) << describe({{500, 400}});
    scene->run([&](Display* d) { XMoveWindow(d, curtain, 0, 0); });
    EXPECT_EQ(scene->rootPixel(500, 400), 0u) << "the curtain is not on screen";
}

// Under a reparenting window manager the excluded client is left out through its frame.
TEST_F(X11CompositedCapture, ManagedWindowIsLeftOutThroughItsFrame) {
    if (!std::filesystem::exists("/usr/bin/openbox")) GTEST_SKIP() << "openbox is not installed";
    ChildProcess manager(
        {"/usr/bin/env", "DISPLAY=" + server.display(), "/usr/bin/openbox", "--sm-disable"});
    // Managing starts once someone redirects the root's map requests.
    const auto managed = [&] {
        bool found = false;
        scene->run([&](Display* d) {
            XWindowAttributes wa;
            found = XGetWindowAttributes(d, DefaultRootWindow(d), &wa) &&
                    (wa.all_event_masks & SubstructureRedirectMask);
        });
        return found;
    };
    for (int i = 0; i < 100 && !managed(); ++i) std::this_thread::sleep_for(50ms);
    ASSERT_TRUE(managed()) << "openbox did not start: " << manager.output();
    std::this_thread::sleep_for(500ms);  // it takes map requests only once it has started

    scene->window(0, 0, 1920, 1080, appColour, false);
    const Window curtain = scene->window(400, 300, 600, 400, 0x000000, false, false);
    scene->run([&](Display* d) {
        XSizeHints hints{};
        hints.flags = USPosition | USSize;
        hints.x = 400;
        hints.y = 300;
        hints.width = 600;
        hints.height = 400;
        XSetWMNormalHints(d, curtain, &hints);
    });
    start({static_cast<uint32_t>(curtain)});
    scene->run([&](Display* d) { XMapRaised(d, curtain); });
    int cx = 0, cy = 0;
    for (int i = 0; i < 100 && scene->topLevel(curtain) == curtain; ++i)
        std::this_thread::sleep_for(50ms);
    ASSERT_NE(scene->topLevel(curtain), curtain) << "the window was not reparented";
    std::this_thread::sleep_for(300ms);
    scene->run([&](Display* d) {
        Window child = 0;
        XTranslateCoordinates(d, curtain, DefaultRootWindow(d), 300, 200, &cx, &cy, &child);
    });
    ASSERT_EQ(scene->rootPixel(cx, cy), 0u) << "the curtain is not on screen";
    // Its title bar, a few pixels above the client, is left out too.
    EXPECT_TRUE(waitFor({{cx, cy, appColour}, {cx, cy - 200 - 5, appColour}}))
        << describe({{cx, cy}, {cx, cy - 205}});
}

}  // namespace
}  // namespace orvane
