// The host binary with its desktop interface on a private X server: the windows it draws over
// the screen while viewers control it, draw on it or share their own screens, seen as another X
// client sees them (window tree, properties, root pixels, clicks).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <regex>
#include <sstream>
#include <thread>

#include "OrvaneKit/base/Uuid.h"
#include "OrvaneKit/security/AccessCode.h"
#include "OrvaneKit/security/Keychain.h"
#include "Orvane_Host/capture/testing/X11TestPainter.h"
#include "Orvane_Host/capture/testing/XvfbServer.h"
#include "Orvane_Host/input/testing/X11InputObserver.h"
#include "tests/support/HostHome.h"
#include "tests/support/ViewerPeer.h"

namespace orvane {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

bool have(const std::string& program) {
    return std::system(("command -v " + program + " >/dev/null 2>&1").c_str()) == 0;
}

struct Win {
    std::string id;
    int x = 0, y = 0, w = 0, h = 0;
};

class X11HostOverlays : public ::testing::Test {
protected:
    XvfbServer x;
    std::unique_ptr<HostHome> home;
    std::string code = AccessCode::generate();
    std::filesystem::path shots = std::filesystem::temp_directory_path() / "ovl28-e2e";

    void SetUp() override {
        for (const auto& b : {HostHome::hostBinary, HostHome::peerBinary})
            if (!std::filesystem::exists(b)) GTEST_SKIP() << "not built: " << b;
        for (const char* tool : {"xwininfo", "xprop", "xdotool", "import", "convert"})
            if (!have(tool)) GTEST_SKIP() << tool << " is not installed";
        home = std::make_unique<HostHome>();
        ASSERT_TRUE(Keychain::set(code, "host.accessCode", "com.nimbrel.kelsap", false, {},
                                  home->keychain()));
        home->settings().setBool("askBeforeConnecting", false);
        std::filesystem::create_directories(shots);
    }

    bool startX(std::vector<std::string> extra = {}, int height = 720) {
        if (!x.start(1280, height, extra)) {
            ADD_FAILURE() << x.error();
            return false;
        }
        return true;
    }
    HostHome::Running startHost() {
        HostHome::Options o;
        o.display = x.display();
        o.desktop = true;
        return home->start(o);
    }
    std::string run(std::vector<std::string> argv) {
        std::vector<std::string> full = {"env", "DISPLAY=" + x.display()};
        full.insert(full.end(), argv.begin(), argv.end());
        return ChildProcess::run(full, "", 20s).second;
    }
    // The root's children, topmost first, as xwininfo lists them.
    std::vector<Win> topLevels() {
        std::vector<Win> out;
        std::istringstream in(run({"xwininfo", "-root", "-children"}));
        static const std::regex line(R"(^\s+(0x[0-9a-f]+) .*\s(\d+)x(\d+)\+(-?\d+)\+(-?\d+)\s)");
        for (std::string l; std::getline(in, l);) {
            std::smatch m;
            if (std::regex_search(l, m, line))
                out.push_back(
                    {m[1], std::stoi(m[4]), std::stoi(m[5]), std::stoi(m[2]), std::stoi(m[3])});
        }
        return out;
    }
    bool viewable(const std::string& id) {
        return run({"xwininfo", "-id", id}).find("IsViewable") != std::string::npos;
    }
    bool overrideRedirect(const std::string& id) {
        return run({"xwininfo", "-id", id}).find("Override Redirect State: yes") !=
               std::string::npos;
    }
    // The first viewable top-level that `match` accepts, waiting for it.
    std::optional<Win> waitForWindow(const std::function<bool(const Win&)>& match,
                                     std::chrono::seconds timeout = 20s) {
        for (auto until = Clock::now() + timeout; Clock::now() < until;
             std::this_thread::sleep_for(100ms))
            for (const auto& w : topLevels())
                if (match(w) && viewable(w.id)) return w;
        return std::nullopt;
    }
    // Saves the root and returns it; pixel() reads the last one.
    std::string shoot(const std::string& name) {
        last_ = (shots / (name + ".png")).string();
        run({"import", "-window", "root", last_});
        return last_;
    }
    std::uint32_t pixel(int px, int py) {
        std::string out = ChildProcess::run({"convert", last_, "-crop",
                                             "1x1+" + std::to_string(px) + "+" + std::to_string(py),
                                             "-depth", "8", "txt:-"},
                                            "", 10s)
                              .second;
        std::smatch m;
        if (!std::regex_search(out, m, std::regex(R"(#([0-9A-Fa-f]{6}))"))) return 0xdeadbeef;
        return static_cast<std::uint32_t>(std::stoul(m[1], nullptr, 16));
    }
    static bool near(std::uint32_t a, std::uint32_t b, int tolerance = 24) {
        for (int shift : {0, 8, 16})
            if (std::abs(int((a >> shift) & 0xff) - int((b >> shift) & 0xff)) > tolerance)
                return false;
        return true;
    }
    static std::string reason(const json::Value& bye) { return bye["body"].value("reason", ""); }

    static bool isBorder(const Win& w) { return w.x == 0 && w.y == 0 && w.w == 1280 && w.h == 720; }
    static bool isPill(const Win& w) { return w.y == 8 && w.h < 100 && w.w > 100 && w.w < 800; }

    std::string last_;
};

constexpr std::uint32_t green = 0x34c759, orange = 0xff9500, backdrop = 0x406080,
                        underneath = 0x30a060;

TEST_F(X11HostOverlays, BorderAndPillShowWhoControlsAndStopEndsTheirSession) {
    ASSERT_TRUE(startX());
    X11TestPainter painter(x.display(), 0, 0, 1280, 720);
    painter.fill(0, 0, 1280, 720, backdrop);
    painter.flush();
    auto host = startHost();
    ASSERT_NE(host.port, 0) << host.process->output();

    ViewerPeer pad(home->dir(), "iPad");
    auto p = pad.connect(host.port, code, "expect helloAck 20\nexpect bye 60\n");
    auto pill = waitForWindow(isPill);
    ASSERT_TRUE(pill) << p->output();
    auto border = waitForWindow(isBorder);
    ASSERT_TRUE(border);
    EXPECT_TRUE(overrideRedirect(pill->id));
    EXPECT_TRUE(overrideRedirect(border->id));
    EXPECT_LE(std::abs(pill->x + pill->w / 2 - 640), 1);

    shoot("pill-border");
    EXPECT_TRUE(near(pixel(640, 2), green)) << std::hex << pixel(640, 2);
    EXPECT_TRUE(near(pixel(2, 360), green));
    EXPECT_EQ(pixel(640, 360), backdrop);  // the middle is left alone
    EXPECT_EQ(pixel(1000, 12), backdrop);  // inside the ring, beside the pill
    EXPECT_FALSE(near(pixel(pill->x + pill->w / 2, pill->y + pill->h / 2), backdrop));

    // Stop sits at the pill's right end.
    run({"xdotool", "mousemove", "--sync", std::to_string(pill->x + pill->w - 28),
         std::to_string(pill->y + pill->h / 2), "click", "1"});
    ASSERT_TRUE(ViewerPeer::waitForMessages(*p, "bye", 1, 20s)) << p->output();
    EXPECT_EQ(reason(ViewerPeer::messages(p->output(), "bye").front()),
              "The person at the Mac stopped the session.");
    for (auto until = Clock::now() + 10s; Clock::now() < until && viewable(border->id);)
        std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(viewable(border->id));
    EXPECT_FALSE(viewable(pill->id));
}

TEST_F(X11HostOverlays, DrawingShowsStrokesAndClicksPassThroughItAndTheBorder) {
    ASSERT_TRUE(startX());
    X11InputObserver observer(x.display());
    auto host = startHost();
    ASSERT_NE(host.port, 0) << host.process->output();

    auto stroke = [](const char* points, const char* colour, const char* width) {
        return std::string("send annotation {\"stroke\":{\"_0\":{\"id\":\"") +
               Uuid::random().string() + "\",\"points\":" + points + ",\"color\":" + colour +
               ",\"width\":" + width + "}}}\n";
    };
    ViewerPeer pad(home->dir(), "iPad");
    auto p = pad.connect(host.port, code,
                         "expect helloAck 20\n" +
                             // A pen wider than the world must not hold the host up: it
                             // covers the screen in green, under the later strokes.
                             stroke("[0.2,0.8,0.3,0.8]", "[0,1,0]", "1e30") +
                             stroke("[0.1,0.5,0.9,0.5]", "[1,0,0]", "0.01") +
                             stroke("[0.5,0.25,0.5,0.25]", "[0,0,1]", "0.02") + "wait 60000\n");
    auto drawing = waitForWindow([](const Win& w) { return isBorder(w); });
    ASSERT_TRUE(drawing);
    std::this_thread::sleep_for(1500ms);
    shoot("drawing");
    EXPECT_EQ(pixel(300, 360), 0xff0000u);
    EXPECT_EQ(pixel(900, 360), 0xff0000u);
    EXPECT_EQ(pixel(640, 180), 0x0000ffu);  // the dot
    EXPECT_EQ(pixel(648, 180), 0x0000ffu);  // round, 25 px across
    EXPECT_EQ(pixel(300, 300), 0x00ff00u);

    // Clicks on the ring, on a stroke and on the open screen reach the window beneath (away
    // from the host's own window on the left).
    observer.clear();
    for (auto [cx, cy] : {std::pair{900, 2}, {900, 360}, {900, 600}})
        run({"xdotool", "mousemove", "--sync", std::to_string(cx), std::to_string(cy), "click",
             "1"});
    EXPECT_TRUE(observer.waitFor([](const auto& seen) {
        int presses = 0;
        for (const auto& s : seen) presses += s.type == X11InputObserver::Seen::Type::buttonPress;
        return presses >= 3;
    })) << "clicks did not pass through";
    EXPECT_NE(host.process->output().find("Ready on port"), std::string::npos);
}

TEST_F(X11HostOverlays, NoCurtainWhenTheCaptureCannotLeaveItOut) {
    ASSERT_TRUE(startX({"-extension", "Composite"}));
    X11TestPainter painter(x.display(), 0, 0, 1280, 720);
    painter.fill(0, 0, 1280, 720, backdrop);
    painter.flush();
    home->settings().setBool("blankScreen", true);
    auto host = startHost();
    ASSERT_NE(host.port, 0) << host.process->output();
    ViewerPeer pad(home->dir(), "iPad");
    auto p = pad.connect(host.port, code, "expect helloAck 20\nwait 60000\n");
    ASSERT_TRUE(waitForWindow(isPill)) << p->output();
    std::this_thread::sleep_for(500ms);
    shoot("no-curtain");
    EXPECT_EQ(pixel(640, 360), backdrop);
    EXPECT_EQ(pixel(1000, 600), backdrop);
}

TEST_F(X11HostOverlays, SharedScreenOpensInAWindowHeldToThePictureAndClosingEndsIt) {
    if (!have("openbox") || !have("wmctrl")) GTEST_SKIP() << "openbox and wmctrl are needed";
    ASSERT_TRUE(startX({}, 1024));  // room for the whole window
    ChildProcess wm({"env", "DISPLAY=" + x.display(), "openbox"});
    auto host = startHost();
    ASSERT_NE(host.port, 0) << host.process->output();

    ViewerPeer phone(home->dir(), "Phone");
    auto p = phone.connect(host.port, code, "expect helloAck 20\nexpect bye 60\n",
                           {"--role", "sharer", "--share-pattern", "--orientation", "6"});
    std::string id;
    for (auto until = Clock::now() + 20s; id.empty() && Clock::now() < until;
         std::this_thread::sleep_for(100ms)) {
        id = run({"xdotool", "search", "--onlyvisible", "--name", "^Phone's Screen$"});
        id = id.substr(0, id.find('\n'));
    }
    ASSERT_FALSE(id.empty()) << p->output();
    // Turned on its side: the upright picture is landscape.
    std::string hints;
    for (auto until = Clock::now() + 20s; Clock::now() < until;
         std::this_thread::sleep_for(100ms)) {
        hints = run({"xprop", "-id", id, "WM_NORMAL_HINTS"});
        if (hints.find("2532/1170") != std::string::npos) break;
    }
    EXPECT_NE(hints.find("aspect ratio: 2532/1170"), std::string::npos) << hints;
    for (const auto& w : topLevels())
        EXPECT_FALSE(w.y == 8 && w.h < 100 && viewable(w.id)) << "a sharer got a pill";
    std::this_thread::sleep_for(1500ms);
    std::string geometry = run({"xdotool", "getwindowgeometry", id});
    std::smatch m;
    ASSERT_TRUE(std::regex_search(
        geometry, m, std::regex(R"(Position: (-?\d+),(-?\d+).*\n.*Geometry: (\d+)x(\d+))")))
        << geometry;
    int wx = std::stoi(m[1]), wy = std::stoi(m[2]), ww = std::stoi(m[3]), wh = std::stoi(m[4]);
    shoot("shared-screen");
    // The picture's top (red) is on the right, its bottom (blue) on the left.
    EXPECT_TRUE(near(pixel(wx + ww / 2 + 60, wy + wh / 2), 0xff0000, 60))
        << std::hex << pixel(wx + ww / 2 + 60, wy + wh / 2);
    EXPECT_TRUE(near(pixel(wx + ww / 2 - 60, wy + wh / 2), 0x0000ff, 60))
        << std::hex << pixel(wx + ww / 2 - 60, wy + wh / 2);

    run({"wmctrl", "-c", "Phone's Screen"});
    ASSERT_TRUE(ViewerPeer::waitForMessages(*p, "bye", 1, 20s)) << p->output();
    EXPECT_EQ(reason(ViewerPeer::messages(p->output(), "bye").front()),
              "The Mac closed the shared screen.");
}

// The colour of pixel (x, y) in every frame FFmpeg decodes from a movie, as 0xRRGGBB (cut
// 2×2, as 4:2:0 pictures cannot be cut to one pixel).
std::vector<std::uint32_t> decodedPixels(const std::filesystem::path& movie, int x, int y) {
    const std::string cmd = "ffmpeg -v error -i '" + movie.string() +
                            "' -vf crop=2:2:" + std::to_string(x) + ":" + std::to_string(y) +
                            " -f rawvideo -pix_fmt rgb24 - 2>/dev/null";
    std::vector<std::uint32_t> out;
    FILE* pipe = ::popen(cmd.c_str(), "r");
    if (!pipe) return out;
    unsigned char frame[12];
    while (std::fread(frame, 1, sizeof frame, pipe) == sizeof frame)
        out.push_back((std::uint32_t(frame[0]) << 16) | (std::uint32_t(frame[1]) << 8) | frame[2]);
    ::pclose(pipe);
    return out;
}

TEST_F(X11HostOverlays, CurtainBlanksEveryMonitorWhileTheViewerStillSeesTheScreen) {
    ASSERT_TRUE(startX());
    X11InputObserver observer(x.display());  // holds the keyboard focus
    X11TestPainter painter(x.display(), 0, 0, 1280, 720);
    painter.fill(0, 0, 1280, 720, backdrop);
    painter.flush();
    home->settings().setBool("blankScreen", true);
    auto host = startHost();
    ASSERT_NE(host.port, 0) << host.process->output();
    ViewerPeer pad(home->dir(), "iPad");
    const auto movie = home->dir() / "curtain.mov";
    auto p = pad.connect(host.port, code, "expect helloAck 20\nexpect bye 60\n",
                         {"--record", movie.string()});
    auto pill = waitForWindow(isPill);
    ASSERT_TRUE(pill) << p->output();
    std::this_thread::sleep_for(500ms);
    shoot("curtain");
    ASSERT_EQ(pixel(900, 600), 0u) << "the curtain should be up: " << host.process->output();
    EXPECT_EQ(pixel(pill->x + 10, pill->y + 10), 0u);  // the curtain covers the pill
    auto top = topLevels();
    ASSERT_FALSE(top.empty());
    EXPECT_TRUE(isBorder(top.front()));  // topmost: a curtain
    EXPECT_TRUE(overrideRedirect(top.front().id));

    // The window under the curtain changes, and the viewer sees the change.
    painter.fill(0, 0, 1280, 720, underneath);
    painter.flush();
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(pixel(900, 600), 0u);

    // A monitor added under the curtain gets one of its own.
    auto curtains = [&] {
        int n = 0;
        for (const auto& w : topLevels())
            if (w.w >= 400 && w.h >= 300 && viewable(w.id)) ++n;
        return n;
    };
    int before = curtains();
    painter.addMonitor("side", 640, 0, 640, 720, false);
    bool covered = false;
    for (auto until = Clock::now() + 10s; !covered && Clock::now() < until;
         std::this_thread::sleep_for(100ms))
        covered = curtains() > before;
    EXPECT_TRUE(covered);

    // The combination is watched, never taken: the focused window still gets it.
    for (const char* keys : {"shift+ctrl+alt+super+period", "ctrl+super+period"})
        run({"xdotool", "key", keys});
    run({"xdotool", "key", "Caps_Lock"});
    run({"xdotool", "key", "ctrl+alt+super+period"});
    run({"xdotool", "key", "Caps_Lock"});
    std::this_thread::sleep_for(1s);
    EXPECT_TRUE(ViewerPeer::messages(p->output(), "bye").empty()) << p->output();
    observer.clear();
    run({"xdotool", "key", "ctrl+alt+super+period"});
    ASSERT_TRUE(ViewerPeer::waitForMessages(*p, "bye", 1, 10s)) << p->output();
    EXPECT_EQ(reason(ViewerPeer::messages(p->output(), "bye").front()),
              "The person at the Mac stopped the session.");
    EXPECT_TRUE(observer.waitFor([](const auto& seen) {
        for (const auto& s : seen)
            if (s.type == X11InputObserver::Seen::Type::keyPress && (s.keysym == 0x2e)) return true;
        return false;
    }));

    // What the viewer recorded while the curtain was up is the screen under it, not black.
    ASSERT_EQ(p->waitExit(20s), 0) << p->output();
    const auto seen = decodedPixels(movie, 900, 600);
    ASSERT_FALSE(seen.empty()) << "nothing decodable in " << movie << "\n" << p->output();
    EXPECT_TRUE(std::any_of(seen.begin(), seen.end(), [](auto c) { return near(c, underneath); }))
        << "the viewer never saw the window under the curtain change";
}

TEST_F(X11HostOverlays, UnderACompositingManagerTheBorderBlendsAtItsOpacity) {
    if (!have("xcompmgr")) GTEST_SKIP() << "xcompmgr is not installed";
    ASSERT_TRUE(startX());
    X11TestPainter painter(x.display(), 0, 0, 1280, 720);
    painter.fill(0, 0, 1280, 720, backdrop);
    painter.flush();
    ChildProcess compositor({"env", "DISPLAY=" + x.display(), "xcompmgr"});
    // No tool shows a selection's owner: give it a moment to take _NET_WM_CM_S0.
    std::this_thread::sleep_for(1s);
    auto host = startHost();
    ASSERT_NE(host.port, 0) << host.process->output();
    ViewerPeer pad(home->dir(), "iPad");
    auto p = pad.connect(host.port, code, "expect helloAck 20\nwait 60000\n");
    ASSERT_TRUE(waitForWindow(isPill)) << p->output();
    std::this_thread::sleep_for(1s);
    shoot("border-composited");
    auto mix = [](std::uint32_t a, std::uint32_t b, double t) {
        std::uint32_t out = 0;
        for (int shift : {0, 8, 16})
            out |= std::uint32_t(
                       std::lround(((a >> shift) & 0xff) * t + ((b >> shift) & 0xff) * (1 - t)))
                   << shift;
        return out;
    };
    EXPECT_TRUE(near(pixel(900, 2), mix(green, backdrop, 0.85), 4)) << std::hex << pixel(900, 2);
    EXPECT_EQ(pixel(900, 360), backdrop);
}

}  // namespace
}  // namespace orvane
