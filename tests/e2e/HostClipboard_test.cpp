// The clipboard between the host binary on a private X server and orvane-peer as the viewer:
// copies on the machine reach the viewer, the viewer's reach the machine, nothing echoes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "OrvaneKit/protocol/Json.h"
#include "OrvaneKit/security/AccessCode.h"
#include "OrvaneKit/security/Keychain.h"
#include "Orvane_Host/capture/testing/XvfbServer.h"
#include "Orvane_Host/session/TrustedDevice.h"
#include "tests/support/HostHome.h"
#include "tests/support/ViewerPeer.h"

namespace orvane {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class X11HostClipboard : public ::testing::Test {
protected:
    XvfbServer x;
    std::unique_ptr<HostHome> home;
    std::string code = AccessCode::generate();
    HostHome::Running host;
    std::unique_ptr<ViewerPeer> viewer;

    void SetUp() override {
        for (const auto& b : {HostHome::hostBinary, HostHome::peerBinary})
            if (!fs::exists(b)) GTEST_SKIP() << "not built: " << b;
        if (::access("/usr/bin/xclip", X_OK) != 0) GTEST_SKIP() << "xclip is not installed";
        if (!x.start(640, 480)) GTEST_SKIP() << x.error();
        home = std::make_unique<HostHome>();
        ASSERT_TRUE(Keychain::set(code, "host.accessCode", "com.nimbrel.kelsap", false, {},
                                  home->keychain()));
        viewer = std::make_unique<ViewerPeer>(home->dir(), "Phone");
        TrustedDevice::save(home->settings(),
                            {{viewer->fingerprint(), "Phone", ClientPlatform::iPhone}});
        home->settings().setBool("unattendedAccess", true);
        HostHome::Options options;
        options.display = x.display();
        host = home->start(options);
        ASSERT_NE(host.port, 0) << host.process->output();
    }

    std::unique_ptr<ChildProcess> connect(const std::string& script) {
        auto p = viewer->connect(host.port, code, script);
        EXPECT_TRUE(p->waitForOutput(R"("type":"helloAck")", 30s)) << p->output();
        return p;
    }
    void copyOnMachine(const std::string& text) {
        auto file = home->dir() / "clip.txt";
        std::ofstream(file, std::ios::binary) << text;
        auto [status, out] =
            ChildProcess::run({"/bin/sh", "-c",
                               "DISPLAY=" + x.display() + " xclip -selection clipboard -i < '" +
                                   file.string() + "' > /dev/null 2>&1"},
                              "", 10s);
        ASSERT_EQ(status, 0) << out;
    }
    std::string pasteOnMachine() {
        auto [status, out] = ChildProcess::run(
            {"/bin/sh", "-c", "DISPLAY=" + x.display() + " xclip -selection clipboard -o"}, "",
            20s);
        return status == 0 ? out : "";
    }
    static std::vector<std::string> texts(const ChildProcess& p) {
        std::vector<std::string> out;
        for (const auto& m : ViewerPeer::messages(p.output(), "clipboard"))
            out.push_back(m["body"].value("text", ""));
        return out;
    }
};

TEST_F(X11HostClipboard, CopiesGoBothWaysWithoutEcho) {
    auto p = connect(
        "expect helloAck 20\nexpect clipboard 10\n"
        "send clipboard {\"text\":\"from the viewer \\u2713\"}\nforbid clipboard\nwait 3000\n"
        "bye\n");
    auto copied = Clock::now();
    copyOnMachine("from the machine");
    ASSERT_TRUE(ViewerPeer::waitForMessages(*p, "clipboard", 1, 10s)) << p->output();
    EXPECT_LT(Clock::now() - copied, 2s);

    std::string pasted;
    for (auto until = Clock::now() + 5s; Clock::now() < until; std::this_thread::sleep_for(50ms))
        if ((pasted = pasteOnMachine()) == "from the viewer \u2713") break;
    EXPECT_EQ(pasted, "from the viewer \u2713");
    EXPECT_EQ(p->waitExit(30s), 0) << p->output();  // no clipboard came back
    EXPECT_EQ(texts(*p), std::vector<std::string>{"from the machine"});
}

TEST_F(X11HostClipboard, TextsAboveTheLimitStayOnTheMachine) {
    auto p = connect(
        "expect helloAck 20\nexpect clipboard 10\nwait 3000\nexpect clipboard 10\n"
        "bye\n");
    std::string fits(999'999, 'a'), tooLong(1'000'000, 'b');
    copyOnMachine(fits);
    ASSERT_TRUE(ViewerPeer::waitForMessages(*p, "clipboard", 1, 10s)) << p->output();
    copyOnMachine(tooLong);
    std::this_thread::sleep_for(2500ms);
    copyOnMachine("after");
    EXPECT_EQ(p->waitExit(30s), 0) << p->output().substr(0, 2000);
    EXPECT_EQ(texts(*p), (std::vector<std::string>{fits, "after"}));
}

TEST_F(X11HostClipboard, ViewersLargeTextIsServedInPieces) {
    std::string expected;
    for (int i = 0; expected.size() < 5'000'000; ++i) expected += "row " + std::to_string(i) + "\n";
    auto p =
        connect("expect helloAck 20\nsend clipboard {\"text\":" + json::Value(expected).dump() +
                "}\nwait 500\nbye\n");
    std::string pasted;
    for (auto until = Clock::now() + 8s; Clock::now() < until; std::this_thread::sleep_for(100ms))
        if ((pasted = pasteOnMachine()).size() == expected.size()) break;
    EXPECT_EQ(pasted.size(), expected.size());
    EXPECT_TRUE(pasted == expected);
    EXPECT_EQ(p->waitExit(30s), 0) << p->output().substr(0, 2000);
}

}  // namespace
}  // namespace orvane
