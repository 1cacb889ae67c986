// The host binary with command-line peers: start, connect, quit.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>

#include "tests/support/HostHome.h"
#include "tests/support/ViewerPeer.h"

namespace orvane {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

class NetOrvaneHost : public ::testing::Test {
protected:
    std::unique_ptr<HostHome> home;
    fs::path dir;

    void SetUp() override {
        for (const auto& b : {HostHome::hostBinary, HostHome::peerBinary})
            if (!fs::exists(b)) GTEST_SKIP() << "not built: " << b;
        home = std::make_unique<HostHome>();
        dir = home->dir();
        // Nobody can answer an approval alert here: let every viewer in.
        home->settings().setBool("askBeforeConnecting", false);
    }
};

TEST_F(NetOrvaneHost, QuitSaysGoodbyeToEveryViewer) {
    auto running = home->start();
    auto& host = running.process;
    ASSERT_NE(running.port, 0) << host->output();
    pid_t pid = running.pid;
    std::string code = running.accessCode;
    ASSERT_EQ(code.size(), 15u) << host->output();

    std::vector<ViewerPeer> devices = {{dir, "Viewer 0"}, {dir, "Viewer 1"}};
    std::vector<std::unique_ptr<ChildProcess>> peers;
    for (auto& d : devices) peers.push_back(d.connect(running.port, code, "expect bye 30\n"));
    // Admitted, so the host's end of the secure channel is up too and can carry a bye.
    for (auto& p : peers)
        ASSERT_TRUE(ViewerPeer::waitForMessages(*p, "helloAck", 1, 20s)) << p->output();

    ASSERT_EQ(::kill(pid, SIGTERM), 0);
    for (auto& p : peers) {
        EXPECT_EQ(p->waitExit(20s), 0) << p->output();
        EXPECT_NE(p->output().find(R"("body":{"reason":"Orvane Host quit."})"), std::string::npos)
            << p->output();
    }
    EXPECT_EQ(host->waitExit(20s), 0) << host->output();
    EXPECT_NE(host->output().find("Stopped."), std::string::npos) << host->output();

    // The code is shown on the terminal only.
    std::string log = readFile(home->logFile());
    EXPECT_FALSE(log.empty());
    EXPECT_EQ(log.find(code), std::string::npos);
}

TEST_F(NetOrvaneHost, SecondSignalExitsAtOnce) {
    auto running = home->start();
    auto& host = running.process;
    ASSERT_NE(running.port, 0) << host->output();
    pid_t pid = running.pid;
    // A connected viewer makes the orderly shutdown take its time.
    ViewerPeer device(dir, "Viewer");
    auto viewer = device.connect(running.port, running.accessCode, "closed 30\n");
    ASSERT_TRUE(viewer->waitForOutput("\"state\":\"ready\"", 20s)) << viewer->output();
    ASSERT_EQ(::kill(pid, SIGTERM), 0);
    ASSERT_TRUE(host->waitForOutput("Shutting down", 10s)) << host->output();
    ASSERT_EQ(::kill(pid, SIGTERM), 0);
    auto status = host->waitExit(20s);
    ASSERT_TRUE(status);
    EXPECT_NE(*status, 0);
    EXPECT_EQ(host->output().find("Stopped."), std::string::npos) << host->output();
}

}  // namespace
}  // namespace orvane
