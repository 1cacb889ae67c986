#include "Orvane_Host/system/x11/X11ScreenSaverInhibitor.h"

// gtest first: Xlib's macros (None) would break its headers.
#include <gtest/gtest.h>
// clang-format off
#include <X11/Xlib.h>
#include <X11/extensions/scrnsaver.h>
// clang-format on

#include <chrono>
#include <thread>

#include "Orvane_Host/capture/testing/XvfbServer.h"

namespace orvane {
namespace {

// The server's own view of its screen saver, through a separate client.
int saverState(Display* dpy) {
    XScreenSaverInfo* info = XScreenSaverAllocInfo();
    XScreenSaverQueryInfo(dpy, DefaultRootWindow(dpy), info);
    const int state = info->state;
    XFree(info);
    return state;
}

TEST(X11ScreenSaverInhibitor, SuspendsTheSaverWhileHeld) {
    XvfbServer server;
    if (!server.start(320, 240)) GTEST_SKIP() << "no X server: " << server.error();
    Display* observer = XOpenDisplay(server.display().c_str());
    ASSERT_TRUE(observer);
    // A saver that comes on after one idle second.
    XSetScreenSaver(observer, 1, 0, DontPreferBlanking, DefaultExposures);
    XResetScreenSaver(observer);
    XSync(observer, False);
    auto stateAfterIdle = [&] {
        XResetScreenSaver(observer);
        XSync(observer, False);
        std::this_thread::sleep_for(std::chrono::milliseconds(2500));
        return saverState(observer);
    };

    X11ScreenSaverInhibitor inhibitor(server.display());
    auto activity = inhibitor.begin("Orvane remote session");
    EXPECT_EQ(stateAfterIdle(), ScreenSaverOff);
    activity.reset();
    EXPECT_EQ(stateAfterIdle(), ScreenSaverOn);
    XCloseDisplay(observer);

    // No display: nothing held, nothing thrown.
    EXPECT_TRUE(X11ScreenSaverInhibitor(":999999").begin("x"));
}

}  // namespace
}  // namespace orvane
