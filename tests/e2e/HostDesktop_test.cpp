// The host binary with its desktop interface on a private X server, with a window manager and
// a private session and accessibility bus: what the person at the machine sees and presses.
// Buttons are found by name in the accessibility tree and pressed with the pointer, as a person
// would; viewers are orvane-peer over loopback.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "OrvaneKit/base/Uuid.h"
#include "OrvaneKit/reach/Pairing.h"
#include "OrvaneKit/security/AccessCode.h"
#include "OrvaneKit/security/Keychain.h"
#include "Orvane_Host/capture/testing/XvfbServer.h"
#include "Orvane_Host/session/HostController.h"
#include "Orvane_Host/session/TrustedDevice.h"
#include "tests/support/HostHome.h"
#include "tests/support/ViewerPeer.h"

namespace orvane {
namespace {

using namespace std::chrono_literals;

const std::string finder = ORVANE_SOURCE_DIR "/tests/support/atspi-find.py";

bool have(const std::string& program) {
    return std::system(("command -v " + program + " >/dev/null 2>&1").c_str()) == 0;
}

class X11HostDesktop : public ::testing::Test {
protected:
    XvfbServer x;
    std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("orvane-desktop-" + Uuid::random().string());
    std::string bus;
    std::unique_ptr<ChildProcess> sessionBus, accessibility, windowManager;
    pid_t accessibilityGroup = -1;
    std::unique_ptr<HostHome> home;
    std::string code = AccessCode::generate();

    void SetUp() override {
        for (const auto& b : {HostHome::hostBinary, HostHome::peerBinary})
            if (!std::filesystem::exists(b)) GTEST_SKIP() << "not built: " << b;
        for (const char* tool :
             {"xdotool", "wmctrl", "openbox", "dbus-daemon", "zbarimg", "import"})
            if (!have(tool)) GTEST_SKIP() << tool << " is not installed";
        if (!std::filesystem::exists("/usr/libexec/at-spi-bus-launcher") ||
            std::system("/usr/bin/python3 -c 'import pyatspi' 2>/dev/null") != 0)
            GTEST_SKIP() << "at-spi2-core and python3-pyatspi are needed";
        ASSERT_TRUE(x.start()) << x.error();
        std::filesystem::create_directories(dir);
        bus = "unix:path=" + (dir / "bus").string();
        sessionBus = std::make_unique<ChildProcess>(std::vector<std::string>{
            "dbus-daemon", "--session", "--nofork", "--address=" + bus, "--print-address"});
        ASSERT_TRUE(sessionBus->waitForOutput("unix:", 10s)) << sessionBus->output();
        // The accessibility bus and its registry, in a process group of their own so that all
        // of it ends with the test.
        accessibility = std::make_unique<ChildProcess>(
            inSession({"setsid", "sh", "-c",
                       "echo group=$$; exec /usr/libexec/at-spi-bus-launcher --launch-immediately "
                       ">/dev/null 2>&1"}));
        ASSERT_TRUE(accessibility->waitForOutput("group=", 10s));
        accessibilityGroup = std::stoi(accessibility->output().substr(6));
        windowManager = std::make_unique<ChildProcess>(inSession({"openbox"}));
        home = std::make_unique<HostHome>();
        ASSERT_TRUE(Keychain::set(code, "host.accessCode", "com.nimbrel.kelsap", false, {},
                                  home->keychain()));
    }
    void TearDown() override {
        windowManager.reset();
        if (accessibilityGroup > 0) ::kill(-accessibilityGroup, SIGKILL);
        accessibility.reset();
        sessionBus.reset();
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }

    std::vector<std::string> inSession(std::vector<std::string> argv) {
        std::vector<std::string> out = {"env", "DISPLAY=" + x.display(),
                                        "DBUS_SESSION_BUS_ADDRESS=" + bus};
        out.insert(out.end(), argv.begin(), argv.end());
        return out;
    }
    std::pair<std::optional<int>, std::string> run(std::vector<std::string> argv,
                                                   std::chrono::milliseconds limit = 20s) {
        return ChildProcess::run(inSession(std::move(argv)), "", limit);
    }
    HostHome::Running start() {
        HostHome::Options o;
        o.display = x.display();
        o.desktop = true;
        o.env = {{"DBUS_SESSION_BUS_ADDRESS", bus}, {"QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1"}};
        return home->start(o);
    }
    // Finds a control by its accessible name and clicks its middle.
    bool press(const std::string& name, const std::string& role = "push button") {
        auto [status, where] = run({"/usr/bin/python3", finder, "Orvane Host", name, role, "20"});
        if (status != 0) return false;
        std::istringstream in(where);
        std::string px, py;
        in >> px >> py;
        return run({"xdotool", "mousemove", "--sync", px, py, "click", "1"}).first == 0;
    }
    bool windowMapped() {
        return run({"xdotool", "search", "--sync", "--onlyvisible", "--name", "^Orvane Host$"}, 20s)
                   .first == 0;
    }
    std::string decodeScreen() {
        auto shot = dir / "screen.png";
        run({"import", "-window", "root", shot.string()});
        auto [status, text] = run({"zbarimg", "--raw", "-q", shot.string()});
        // The last line: the decoder's library may complain first of a missing system bus.
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        return text.substr(text.find_last_of('\n') + 1);
    }
    static std::string reason(const json::Value& bye) { return bye["body"].value("reason", ""); }
};

TEST_F(X11HostDesktop, WindowShowsAtLaunchAndClosingItKeepsTheHostServing) {
    auto host = start();
    ASSERT_NE(host.port, 0) << host.process->output();
    ASSERT_TRUE(windowMapped()) << host.process->output();
    // What a camera reads off the screen is the pairing link the terminal shows.
    std::smatch shown;
    std::string out = host.process->output();
    ASSERT_TRUE(std::regex_search(out, shown, std::regex(R"(Pairing link: (\S+))"))) << out;
    const std::string link = shown[1];
    EXPECT_EQ(decodeScreen(), link);
    auto parsed = PairingInfo::parse(link);
    ASSERT_TRUE(parsed) << link;
    EXPECT_EQ(AccessCode::normalize(parsed->code), AccessCode::normalize(code));
    // In a support session only the one-time code's link is on the screen.
    ASSERT_TRUE(press("Start Support"));
    std::string support;
    for (int i = 0; i < 50 && (support.empty() || support == link); ++i) support = decodeScreen();
    auto supportInfo = PairingInfo::parse(support);
    ASSERT_TRUE(supportInfo) << support;
    EXPECT_EQ(AccessCode::normalize(supportInfo->code).size(), AccessCode::length);
    EXPECT_NE(AccessCode::normalize(supportInfo->code), AccessCode::normalize(code));
    ASSERT_TRUE(press("End Support Session"));

    ASSERT_EQ(run({"wmctrl", "-c", "Orvane Host"}).first, 0);
    for (int i = 0;
         i < 50 &&
         run({"xdotool", "search", "--onlyvisible", "--name", "^Orvane Host$"}, 2s).first == 0;
         ++i)
        std::this_thread::sleep_for(100ms);

    // Still serving: a stranger asks, the person says no.
    ViewerPeer stranger(home->dir(), "Stranger Phone");
    auto p = stranger.connect(host.port, code, "expect bye 40\nclosed 5\n");
    ASSERT_TRUE(press("Deny")) << host.process->output();
    EXPECT_EQ(p->waitExit(40s), 0) << p->output();
    auto byes = ViewerPeer::messages(p->output(), "bye");
    ASSERT_EQ(byes.size(), 1u) << p->output();
    EXPECT_EQ(reason(byes[0]), "The Mac's owner declined the connection.");
}

TEST_F(X11HostDesktop, AllowedViewerChatsGetsAFileAndIsDisconnectedThenQuitExits) {
    auto host = start();
    ASSERT_NE(host.port, 0) << host.process->output();
    ASSERT_TRUE(windowMapped());

    ViewerPeer viewer(home->dir(), "Kitchen iPad");
    auto saved = dir / "saved";
    std::filesystem::create_directories(saved);
    auto source = dir / "From the machine.txt";
    std::ofstream(source) << "sent from the window";
    auto p = viewer.connect(
        host.port, code,
        "expect helloAck 40\nexpect permissions\nexpect hostStatus 20\n"
        "send chat {\"id\":\"" +
            Uuid::random().string() +
            "\",\"text\":\"hello host\",\"sender\":\"Kitchen iPad\",\"sentAt\":800000000}\n"
            "expect chat 40\nexpect fileEnd 60\nexpect bye 40\nclosed 5\n",
        {"--save-files", saved.string()});
    ASSERT_TRUE(press("Allow")) << host.process->output();
    ASSERT_TRUE(ViewerPeer::waitForMessages(*p, "hostStatus", 1, 40s)) << p->output();
    auto permissions = ViewerPeer::messages(p->output(), "permissions");
    ASSERT_EQ(permissions.size(), 1u) << p->output();
    EXPECT_EQ(permissions[0]["body"].value("canControl", false), true);

    // The message arrived in the window; an answer typed there reaches the viewer.
    ASSERT_TRUE(press("Message", "text")) << host.process->output();
    run({"xdotool", "type", "--delay", "20", "  hi there  "});
    run({"xdotool", "key", "Return"});
    ASSERT_TRUE(ViewerPeer::waitForMessages(*p, "chat", 1, 20s)) << p->output();
    auto chats = ViewerPeer::messages(p->output(), "chat");
    EXPECT_EQ(chats[0]["body"].value("text", ""), "hi there");

    // Send Files… asks for the files in the desktop's open dialog, typed in as a person would.
    ASSERT_TRUE(press("Send Files\u2026")) << host.process->output();
    ASSERT_EQ(
        run({"xdotool", "search", "--sync", "--onlyvisible", "--name", Exchange::chooseMessage})
            .first,
        0);
    run({"xdotool", "sleep", "0.5", "type", "--delay", "10", source.string()});
    run({"xdotool", "key", "Return"});
    ASSERT_TRUE(p->waitForOutput("fileReceived", 30s)) << p->output();
    EXPECT_EQ(readFile(saved / "From the machine.txt"), "sent from the window");

    ASSERT_TRUE(press("Disconnect Kitchen iPad")) << host.process->output();
    EXPECT_EQ(p->waitExit(40s), 0) << p->output();
    auto byes = ViewerPeer::messages(p->output(), "bye");
    ASSERT_EQ(byes.size(), 1u) << p->output();
    EXPECT_EQ(reason(byes[0]), "Disconnected by the host.");

    ASSERT_TRUE(press("Quit Orvane"));
    EXPECT_EQ(host.process->waitExit(30s), 0) << host.process->output();
    EXPECT_NE(host.process->output().find("Stopped."), std::string::npos);
}

TEST_F(X11HostDesktop, AlwaysAllowRemembersTheDeviceAndQuitSaysGoodbye) {
    auto host = start();
    ASSERT_NE(host.port, 0) << host.process->output();
    ViewerPeer viewer(home->dir(), "Study Laptop");
    auto p = viewer.connect(host.port, code, "expect helloAck 40\nexpect bye 60\nclosed 10\n");
    ASSERT_TRUE(press("Always Allow This Device")) << host.process->output();
    ASSERT_TRUE(press(HostController::unattendedConfirmButton)) << host.process->output();
    ASSERT_TRUE(ViewerPeer::waitForMessages(*p, "helloAck", 1, 40s)) << p->output();
    std::vector<TrustedDevice> stored;
    for (int i = 0; i < 50 && stored.empty(); ++i) {
        std::this_thread::sleep_for(100ms);
        FileSettingsStore settings(home->dir() / "config" / "orvane-host" / "defaults.json");
        stored = TrustedDevice::load(settings);
    }
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0].id, viewer.fingerprint());
    EXPECT_EQ(stored[0].name, "Study Laptop");

    // Quitting from the window says goodbye first.
    ASSERT_TRUE(press("Quit Orvane"));
    EXPECT_EQ(host.process->waitExit(30s), 0) << host.process->output();
    EXPECT_EQ(p->waitExit(30s), 0) << p->output();
    auto byes = ViewerPeer::messages(p->output(), "bye");
    ASSERT_EQ(byes.size(), 1u) << p->output();
    EXPECT_EQ(reason(byes[0]), "Orvane Host quit.");
}

TEST_F(X11HostDesktop, TrayIconEmbedsInATrayHostAndItsClickOpensTheView) {
    if (!have("trayer") || !have("xwininfo")) GTEST_SKIP() << "trayer and x11-utils are needed";
    ChildProcess tray(
        inSession({"trayer", "--edge", "top", "--align", "right", "--widthtype", "pixel", "--width",
                   "100", "--heighttype", "pixel", "--height", "24"}));
    auto [found, panels] = run({"xdotool", "search", "--sync", "--name", "^panel$"});
    ASSERT_EQ(found, 0) << tray.output();
    auto host = start();
    ASSERT_NE(host.port, 0) << host.process->output();
    ASSERT_TRUE(windowMapped());

    // The icon is a window of the host's inside the tray's panel: its place on the screen.
    std::smatch at;
    const std::regex icon(
        R"re("Orvane Host": \("orvane-host" "Orvane Host"\)\s+(\d+)x(\d+)\S*\s+\+(-?\d+)\+(-?\d+))re");
    std::string tree;
    for (int i = 0; i < 50; ++i) {
        tree.clear();
        std::istringstream ids(panels);
        for (std::string id; ids >> id;) tree += run({"xwininfo", "-tree", "-id", id}).second;
        if (std::regex_search(tree, at, icon)) break;
        std::this_thread::sleep_for(100ms);
    }
    ASSERT_FALSE(at.empty()) << tree;
    int x = std::stoi(at[3]) + std::stoi(at[1]) / 2;
    int y = std::stoi(at[4]) + std::stoi(at[2]) / 2;
    run({"xdotool", "mousemove", "--sync", std::to_string(x), std::to_string(y), "click", "1"});
    EXPECT_EQ(run({"xdotool", "search", "--sync", "--onlyvisible", "--name", "^Orvane$"}).first, 0);
}

}  // namespace
}  // namespace orvane
