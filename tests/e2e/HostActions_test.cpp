// Viewers' commands against the real orvane-host: a shortcut run on the viewer's behalf, the lock
// through logind, screen text and a snapshot of the display.
#include <gtest/gtest.h>
// After gtest: Xlib's macros would clash with its names.
#include <X11/Xlib.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "OrvaneKit/net/testing/ChildProcess.h"
#include "OrvaneKit/protocol/Json.h"
#include "OrvaneKit/security/AccessCode.h"
#include "OrvaneKit/security/Keychain.h"
#include "Orvane_Host/capture/testing/X11TestPainter.h"
#include "Orvane_Host/capture/testing/XvfbServer.h"
#include "Orvane_Host/session/TrustedDevice.h"
#include "Orvane_Host/system/testing/FakeLogind.h"
#include "Orvane_Host/system/testing/PrivateBus.h"
#include "tests/support/HostHome.h"
#include "tests/support/ViewerPeer.h"

namespace orvane {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class NetHostActions : public ::testing::Test {
protected:
    std::unique_ptr<HostHome> home;
    std::string code = AccessCode::generate();

    void SetUp() override {
        for (const auto& b : {HostHome::hostBinary, HostHome::peerBinary})
            if (!fs::exists(b)) GTEST_SKIP() << "not built: " << b;
        home = std::make_unique<HostHome>();
        ASSERT_TRUE(Keychain::set(code, "host.accessCode", "com.nimbrel.kelsap", false, {},
                                  home->keychain()));
    }
    // A device let in without asking, allowed to control.
    ViewerPeer trusted(const std::string& name) {
        ViewerPeer device(home->dir(), name);
        TrustedDevice::save(home->settings(),
                            {{device.fingerprint(), device.name(), ClientPlatform::mac}});
        home->settings().setBool("unattendedAccess", true);
        return device;
    }
    static std::vector<std::string> chatTexts(const std::string& output) {
        std::vector<std::string> out;
        for (const auto& m : ViewerPeer::messages(output, "chat"))
            out.push_back(m["body"].value("text", ""));
        return out;
    }
};

TEST_F(NetHostActions, ShortcutRunsAndItsResultComesBackAsChat) {
    // The shortcut touches a file in the host's home.
    auto folder = home->dir() / "config" / "orvane-host" / "shortcuts";
    fs::create_directories(folder);
    std::ofstream(folder / "Touch It") << "#!/bin/sh\ntouch \"$HOME/touched\"\n";
    fs::permissions(folder / "Touch It", fs::perms::owner_all);
    auto viewer = trusted("Desk Viewer");
    auto host = home->start();
    ASSERT_NE(host.port, 0) << host.process->output();

    auto p = viewer.connect(
        host.port, code,
        "forbid bye\nexpect helloAck 20\n"
        "send macCommand {\"runShortcut\":{\"name\":\"Touch It\"}}\nexpect chat 20\n"
        "send macCommand {\"runShortcut\":{\"name\":\"../shortcuts/Touch It\"}}\nexpect chat 20\n"
        "send macCommand {\"openURL\":{\"_0\":\"file:///etc/passwd\"}}\nexpect chat 20\n"
        "send screenTextRequest\nexpect screenText 20\nclose\n");
    EXPECT_EQ(p->waitExit(60s), 0) << p->output();
    EXPECT_EQ(chatTexts(p->output()),
              (std::vector<std::string>{"Ran the \u201CTouch It\u201D shortcut.",
                                        "Couldn't run a shortcut called \u201C../shortcuts/Touch "
                                        "It\u201D.",
                                        "That isn't a web address."}));
    for (const auto& m : ViewerPeer::messages(p->output(), "chat"))
        EXPECT_EQ(m["body"].value("sender", ""), "Mac");
    EXPECT_TRUE(fs::exists(home->dir() / "touched"));
    // No display was captured yet: no lines, and no window manager to name an application.
    auto text = ViewerPeer::messages(p->output(), "screenText");
    ASSERT_EQ(text.size(), 1u) << p->output();
    EXPECT_EQ(text[0]["body"], json::Value({{"lines", json::Value::array()}}));
}

// The login manager's calls other than the awake lock a streaming host takes.
std::vector<std::string> lockCalls(const FakeLogind& logind) {
    std::vector<std::string> out;
    for (auto& c : logind.calls())
        if (c.rfind("Inhibit ", 0) != 0) out.push_back(c);
    return out;
}

TEST_F(NetHostActions, LockReachesLogind) {
    PrivateBus bus;
    if (bus.address().empty()) GTEST_SKIP() << "dbus-daemon is not available";
    FakeLogind logind(bus.address());
    ASSERT_TRUE(logind.ready());
    auto viewer = trusted("Desk Viewer");
    HostHome::Options options;
    options.env = {{"DBUS_SYSTEM_BUS_ADDRESS", bus.address()}, {"XDG_SESSION_ID", "e2e"}};
    auto host = home->start(options);
    ASSERT_NE(host.port, 0) << host.process->output();

    auto p = viewer.connect(host.port, code,
                            "forbid bye\nexpect helloAck 20\nsend hostAction \"lockScreen\"\n"
                            "wait 200\nclose\n");
    EXPECT_EQ(p->waitExit(60s), 0) << p->output();
    bool locked = false;
    for (auto until = std::chrono::steady_clock::now() + 10s;
         !locked && std::chrono::steady_clock::now() < until; std::this_thread::sleep_for(10ms))
        locked = !lockCalls(logind).empty();
    EXPECT_EQ(lockCalls(logind), std::vector<std::string>{"LockSession e2e"});
}

// Whether the X server holds any key down, asked on a connection of its own.
class KeyState {
public:
    explicit KeyState(const std::string& display) : dpy_(XOpenDisplay(display.c_str())) {}
    ~KeyState() {
        if (dpy_) XCloseDisplay(dpy_);
    }
    bool anyDown() {
        char keys[32] = {};
        XQueryKeymap(dpy_, keys);
        for (char k : keys)
            if (k) return true;
        return false;
    }

private:
    Display* dpy_;
};

TEST_F(NetHostActions, LockComesOnlyAfterHeldKeysAreLetGo) {
    PrivateBus bus;
    if (bus.address().empty()) GTEST_SKIP() << "dbus-daemon is not available";
    XvfbServer xvfb;
    if (!xvfb.start(640, 360)) GTEST_SKIP() << xvfb.error();
    FakeLogind logind(bus.address());
    ASSERT_TRUE(logind.ready());
    KeyState atLock(xvfb.display()), meanwhile(xvfb.display());
    std::atomic<int> keysDownAtLock{-1};
    logind.onCall = [&](const std::string& call) {
        if (call.rfind("LockSession", 0) == 0) keysDownAtLock = atLock.anyDown();
    };
    auto viewer = trusted("Desk Viewer");
    HostHome::Options options;
    options.display = xvfb.display();
    options.env = {{"DBUS_SYSTEM_BUS_ADDRESS", bus.address()}, {"XDG_SESSION_ID", "e2e"}};
    auto host = home->start(options);
    ASSERT_NE(host.port, 0) << host.process->output();

    // The viewer holds Q down, then asks for the lock.
    auto p = viewer.connect(host.port, code,
                            "forbid bye\nexpect helloAck 20\n"
                            "send input {\"key\":{\"code\":12,\"down\":true,\"flags\":0}}\n"
                            "wait 1500\nsend hostAction \"lockScreen\"\nwait 500\nclose\n");
    bool held = false;
    for (auto until = std::chrono::steady_clock::now() + 10s;
         !held && std::chrono::steady_clock::now() < until; std::this_thread::sleep_for(5ms))
        held = meanwhile.anyDown();
    EXPECT_EQ(p->waitExit(60s), 0) << p->output();
    if (!held) GTEST_SKIP() << "the host posts no input yet: its injector is the headless stand-in";
    for (auto until = std::chrono::steady_clock::now() + 10s;
         keysDownAtLock < 0 && std::chrono::steady_clock::now() < until;
         std::this_thread::sleep_for(10ms)) {
    }
    EXPECT_EQ(lockCalls(logind), std::vector<std::string>{"LockSession e2e"});
    EXPECT_EQ(keysDownAtLock, 0);
}

TEST_F(NetHostActions, SnapshotHasTheDisplaysSizeAndColours) {
    XvfbServer xvfb;
    if (!xvfb.start(640, 360)) GTEST_SKIP() << xvfb.error();
    for (const char* tool : {"/usr/bin/ffprobe", "/usr/bin/ffmpeg"})
        if (!fs::exists(tool)) GTEST_SKIP() << tool << " is not installed";
    // Four quadrants of known colours over the whole screen.
    const std::uint32_t colours[] = {0xd02020, 0x20c040, 0x2040e0, 0xf0f0f0};
    X11TestPainter painter(xvfb.display(), 0, 0, 640, 360);
    for (int i = 0; i < 4; ++i) painter.fill((i % 2) * 320, (i / 2) * 180, 320, 180, colours[i]);
    painter.flush();

    auto viewer = trusted("Desk Viewer");
    HostHome::Options options;
    options.display = xvfb.display();
    auto host = home->start(options);
    ASSERT_NE(host.port, 0) << host.process->output();

    auto jpeg = home->dir() / "snapshot.jpg";
    auto p = viewer.connect(host.port, code,
                            "expect helloAck 20\nexpect video 10\nsend screenshotRequest\n"
                            "expect screenshot 30\nsave " +
                                jpeg.string() + "\nclose\n");
    auto status = p->waitExit(90s);
    if (ViewerPeer::messages(p->output(), "video").empty())
        GTEST_SKIP() << "the host streams no video yet: its display streams are the headless "
                        "stand-in, so there is no frame to take a snapshot of";
    ASSERT_EQ(status, 0) << p->output();

    auto [probed, size] =
        ChildProcess::run({"/usr/bin/ffprobe", "-v", "error", "-show_entries",
                           "stream=codec_name,width,height", "-of", "csv=p=0", jpeg.string()},
                          "", 30s);
    ASSERT_EQ(probed, 0) << size;
    EXPECT_EQ(size.substr(0, size.find_last_not_of("\r\n") + 1), "mjpeg,640,360");

    auto [decoded, rgb] = ChildProcess::run({"/usr/bin/ffmpeg", "-v", "error", "-i", jpeg.string(),
                                             "-f", "rawvideo", "-pix_fmt", "rgb24", "-"},
                                            "", 30s);
    ASSERT_EQ(decoded, 0);
    ASSERT_EQ(rgb.size(), 640u * 360u * 3u);
    for (int i = 0; i < 4; ++i) {
        int x = (i % 2) * 320 + 160, y = (i / 2) * 180 + 90;
        const auto* px = reinterpret_cast<const unsigned char*>(&rgb[(y * 640 + x) * 3]);
        for (int c = 0; c < 3; ++c)
            EXPECT_NEAR(px[c], int(colours[i] >> (16 - 8 * c) & 0xff), 12)
                << "quadrant " << i << " channel " << c;
    }
}

}  // namespace
}  // namespace orvane
