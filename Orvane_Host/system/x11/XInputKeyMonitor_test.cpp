#include "Orvane_Host/system/x11/XInputKeyMonitor.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <vector>

#include "OrvaneKit/net/testing/ChildProcess.h"
#include "Orvane_Host/capture/testing/XvfbServer.h"

// Xlib last: its macros would clash with the headers above.
#include <X11/Xlib.h>
// Xlib's event-type macro would shadow orvane::KeyPress.
#undef KeyPress

namespace orvane {
namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t period = 0x2e;

class X11KeyMonitor : public ::testing::Test {
protected:
    XvfbServer server;
    std::unique_ptr<XInputKeyMonitor> monitor;
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<KeyPress> keys;

    void SetUp() override {
        if (!std::filesystem::exists("/usr/bin/xdotool"))
            GTEST_SKIP() << "xdotool is not installed";
        if (!server.start(640, 480)) GTEST_SKIP() << "no X server: " << server.error();
        monitor = std::make_unique<XInputKeyMonitor>(server.display());
    }

    bool startRecording() {
        return monitor->start([this](const KeyPress& k) {
            std::lock_guard lock(mutex);
            keys.push_back(k);
            arrived.notify_all();
        });
    }

    void xdotool(std::vector<std::string> args) {
        std::vector<std::string> argv = {"/usr/bin/env", "DISPLAY=" + server.display(),
                                         "/usr/bin/xdotool"};
        argv.insert(argv.end(), args.begin(), args.end());
        auto [status, output] = ChildProcess::run(argv, "", 10s);
        ASSERT_EQ(status, 0) << output;
    }

    // The presses of the main period key seen so far, waiting up to `timeout` for `count`.
    std::vector<KeyPress> periods(size_t count, std::chrono::milliseconds timeout = 3s) {
        std::unique_lock lock(mutex);
        auto take = [&] {
            std::vector<KeyPress> out;
            for (const KeyPress& k : keys)
                if (k.keysym == period) out.push_back(k);
            return out;
        };
        arrived.wait_for(lock, timeout, [&] { return take().size() >= count; });
        return take();
    }
};

// The key and the modifiers held with it, as the curtain's combination check reads them.
TEST_F(X11KeyMonitor, ReportsTheUnshiftedKeyWithItsModifiers) {
    ASSERT_TRUE(startRecording());
    constexpr std::uint32_t ctrlAltSuper = KeyPress::Control | KeyPress::Alt | KeyPress::Super;
    struct Case {
        std::vector<std::string> keys;
        std::uint32_t modifiers;
    };
    const Case cases[] = {
        {{"key", "ctrl+alt+super+period"}, ctrlAltSuper},
        {{"key", "shift+ctrl+alt+super+period"}, ctrlAltSuper | KeyPress::Shift},
        {{"key", "ctrl+super+period"}, KeyPress::Control | KeyPress::Super},
        {{"key", "Caps_Lock", "ctrl+alt+super+period", "Caps_Lock"},
         ctrlAltSuper | KeyPress::CapsLock},
        {{"key", "period"}, 0},
    };
    size_t seen = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.keys[c.keys.size() > 2 ? 2 : 1]);
        xdotool(c.keys);
        const std::vector<KeyPress> got = periods(++seen);
        ASSERT_EQ(got.size(), seen);
        // NumLock is no modifier for the combination; leave it out of the comparison.
        EXPECT_EQ(got.back().modifiers & ~std::uint32_t(KeyPress::NumLock), c.modifiers);
    }
}

// Watching takes nothing away: the focused window still gets the key.
TEST_F(X11KeyMonitor, FocusedWindowStillGetsTheKey) {
    Display* dpy = XOpenDisplay(server.display().c_str());
    ASSERT_TRUE(dpy);
    const Window w = XCreateSimpleWindow(dpy, DefaultRootWindow(dpy), 0, 0, 200, 200, 0, 0, 0);
    XSelectInput(dpy, w, KeyPressMask | StructureNotifyMask);
    XMapRaised(dpy, w);
    for (XEvent ev; XWindowEvent(dpy, w, StructureNotifyMask, &ev), ev.type != MapNotify;) {
    }
    XSetInputFocus(dpy, w, RevertToParent, CurrentTime);
    XSync(dpy, False);

    ASSERT_TRUE(startRecording());
    xdotool({"key", "ctrl+alt+super+period"});
    EXPECT_EQ(periods(1).size(), 1u);
    bool got = false;
    const auto deadline = std::chrono::steady_clock::now() + 3s;
    while (!got && std::chrono::steady_clock::now() < deadline) {
        XEvent ev;
        if (XCheckWindowEvent(dpy, w, KeyPressMask, &ev))
            got = XLookupKeysym(&ev.xkey, 0) == period;
        else
            std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(got) << "the focused window did not get the key";
    XCloseDisplay(dpy);
}

// After stop() returns the handler runs no more; the monitor starts again; the handler may
// stop its own monitor.
TEST_F(X11KeyMonitor, StopEndsDeliveryAndRestarts) {
    ASSERT_TRUE(startRecording());
    xdotool({"key", "period"});
    ASSERT_EQ(periods(1).size(), 1u);
    monitor->stop();
    xdotool({"key", "period"});
    EXPECT_EQ(periods(2, 300ms).size(), 1u) << "a stopped monitor delivered";

    ASSERT_TRUE(startRecording());
    xdotool({"key", "period"});
    EXPECT_EQ(periods(2).size(), 2u);

    ASSERT_TRUE(monitor->start([this](const KeyPress& k) {
        monitor->stop();
        std::lock_guard lock(mutex);
        keys.push_back(k);
        arrived.notify_all();
    }));
    xdotool({"key", "period", "period"});
    EXPECT_EQ(periods(4, 300ms).size(), 3u) << "the handler's own stop did not end delivery";
    monitor.reset();  // joins the thread that stopped itself
}

// A handler may destroy its own monitor: delivery ends, and the thread it leaves behind reads
// nothing of the gone monitor (an address-sanitizer build would show it).
TEST_F(X11KeyMonitor, HandlerMayDestroyItsMonitor) {
    ASSERT_TRUE(monitor->start([this](const KeyPress& k) {
        monitor.reset();
        std::lock_guard lock(mutex);
        keys.push_back(k);
        arrived.notify_all();
    }));
    xdotool({"key", "period", "period"});
    EXPECT_EQ(periods(2, 300ms).size(), 1u) << "a destroyed monitor delivered";
    std::lock_guard lock(mutex);
    EXPECT_FALSE(monitor);
}

// Xvfb cannot run without XInput, so only the missing display is shown here.
TEST_F(X11KeyMonitor, NoMonitorWithoutADisplay) {
    XInputKeyMonitor nowhere(":4095");
    EXPECT_FALSE(nowhere.start([](const KeyPress&) {}));
    nowhere.stop();
}

}  // namespace
}  // namespace orvane
