#include <gtest/gtest.h>
#include <unistd.h>
// After gtest: Xlib's macros (None, Bool) would clash with its names.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <filesystem>
#include <fstream>

#include "Orvane_Host/capture/testing/XvfbServer.h"
#include "Orvane_Host/system/x11/X11DisplayPower.h"
#include "Orvane_Host/system/x11/X11FrontmostApp.h"

namespace orvane {
namespace {

namespace fs = std::filesystem;

// Plays the window manager's part: a window with a class, named active on the root.
struct X11FrontmostAppTest : ::testing::Test {
    XvfbServer xvfb;
    Display* dpy = nullptr;
    fs::path apps = fs::temp_directory_path() / ("orvane-x11-apps-" + std::to_string(::getpid()));

    void SetUp() override {
        if (!xvfb.start(320, 240)) GTEST_SKIP() << xvfb.error();
        dpy = XOpenDisplay(xvfb.display().c_str());
        ASSERT_TRUE(dpy);
        fs::create_directories(apps);
        std::ofstream(apps / "org.example.Editor.desktop")
            << "[Desktop Entry]\nType=Application\nName=Example Editor\nExec=true\n"
               "StartupWMClass=ExampleEditor\n";
    }
    void TearDown() override {
        if (dpy) XCloseDisplay(dpy);
        fs::remove_all(apps);
    }
    Window windowOfClass(const char* instance, const char* cls) {
        Window w = XCreateSimpleWindow(dpy, DefaultRootWindow(dpy), 0, 0, 10, 10, 0, 0, 0);
        XClassHint hint{const_cast<char*>(instance), const_cast<char*>(cls)};
        if (cls) XSetClassHint(dpy, w, &hint);
        return w;
    }
    void setActive(Window w) {
        Atom active = XInternAtom(dpy, "_NET_ACTIVE_WINDOW", False);
        XChangeProperty(dpy, DefaultRootWindow(dpy), active, XA_WINDOW, 32, PropModeReplace,
                        reinterpret_cast<unsigned char*>(&w), 1);
        XSync(dpy, False);
    }
    std::optional<std::string> frontmost() {
        return X11FrontmostApp(xvfb.display(), {apps}).frontmostAppName();
    }
};

TEST_F(X11FrontmostAppTest, NameOfTheActiveWindowsApplication) {
    // Without a window manager nothing is active.
    EXPECT_EQ(frontmost(), std::nullopt);

    setActive(windowOfClass("editor", "ExampleEditor"));
    EXPECT_EQ(frontmost(), "Example Editor");

    setActive(windowOfClass("xterm", "XTerm"));
    EXPECT_EQ(frontmost(), "XTerm");

    setActive(windowOfClass(nullptr, nullptr));
    EXPECT_EQ(frontmost(), std::nullopt);

    // A window that went away meanwhile.
    Window gone = windowOfClass("x", "Gone");
    XDestroyWindow(dpy, gone);
    setActive(gone);
    EXPECT_EQ(frontmost(), std::nullopt);

    setActive(0);
    EXPECT_EQ(frontmost(), std::nullopt);
}

TEST(X11DisplayPower, ADisplayWithoutPowerControlOrNoDisplayIsAFailure) {
    EXPECT_FALSE(X11DisplayPower(":99999").sleepDisplay());
    XvfbServer xvfb;
    if (!xvfb.start(320, 240)) GTEST_SKIP() << xvfb.error();
    // The virtual framebuffer has no power management.
    EXPECT_FALSE(X11DisplayPower(xvfb.display()).sleepDisplay());
}

}  // namespace
}  // namespace orvane
