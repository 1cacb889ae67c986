// The host binary with command-line peers: start, connect, quit.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "OrvaneKit/net/testing/ChildProcess.h"

namespace orvane {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

const std::string hostBinary = ORVANE_BINARY_DIR "/Orvane_Host/app/orvane-host";
const std::string peerBinary = ORVANE_BINARY_DIR "/tools/orvane-peer";

std::string match(const std::string& text, const std::string& pattern) {
    std::smatch m;
    return std::regex_search(text, m, std::regex(pattern)) ? m[1].str() : "";
}

class NetOrvaneHost : public ::testing::Test {
protected:
    fs::path dir;

    void SetUp() override {
        for (const auto& b : {hostBinary, peerBinary})
            if (!fs::exists(b)) GTEST_SKIP() << "not built: " << b;
        dir = fs::temp_directory_path() / ("orvane-host-e2e-" + std::to_string(::getpid()));
        fs::create_directories(dir);
    }
    void TearDown() override {
        if (!dir.empty()) fs::remove_all(dir);
    }

    // The host in a private home; the shell prints its process id first.
    std::unique_ptr<ChildProcess> startHost() {
        std::string d = dir.string();
        std::string cmd = "HOME=" + d + " XDG_CONFIG_HOME=" + d + "/config XDG_DATA_HOME=" + d +
                          "/data XDG_STATE_HOME=" + d +
                          "/state DBUS_SESSION_BUS_ADDRESS=unix:path=" + d + "/no-bus " +
                          hostBinary + " --port 0 & echo pid=$!; wait $!";
        return std::make_unique<ChildProcess>(std::vector<std::string>{"/bin/sh", "-c", cmd});
    }
};

TEST_F(NetOrvaneHost, QuitSaysGoodbyeToEveryViewer) {
    auto host = startHost();
    ASSERT_TRUE(host->waitForOutput("Connect to:", 30s)) << host->output();
    std::string out = host->output();
    pid_t pid = std::stoi(match(out, R"(pid=(\d+))"));
    std::string port = match(out, R"(Ready on port (\d+))");
    std::string code = match(out, R"(Access code: ([A-Z0-9-]+))");
    ASSERT_FALSE(port.empty()) << out;
    ASSERT_EQ(code.size(), 15u) << out;

    auto script = dir / "script.txt";
    std::ofstream(script) << "expect bye 30\n";
    std::vector<std::unique_ptr<ChildProcess>> peers;
    for (int i = 0; i < 2; ++i) {
        peers.push_back(std::make_unique<ChildProcess>(std::vector<std::string>{
            peerBinary, "connect", "--host", "127.0.0.1", "--port", port, "--code", code, "--name",
            "Viewer " + std::to_string(i), "--keychain",
            (dir / ("viewer" + std::to_string(i) + ".json")).string(), "--script",
            script.string()}));
    }
    for (auto& p : peers) ASSERT_TRUE(p->waitForOutput("\"state\":\"ready\"", 20s)) << p->output();
    // A bye needs the host's end of the secure channel too, which follows the viewer's by a
    // message.
    auto bothReady = [&] {
        std::string o = host->output();
        auto first = o.find("client state ready");
        return first != std::string::npos &&
               o.find("client state ready", first + 1) != std::string::npos;
    };
    for (int i = 0; i < 2000 && !bothReady(); ++i) std::this_thread::sleep_for(5ms);
    ASSERT_TRUE(bothReady()) << host->output();

    ASSERT_EQ(::kill(pid, SIGTERM), 0);
    for (auto& p : peers) {
        EXPECT_EQ(p->waitExit(20s), 0) << p->output();
        EXPECT_NE(p->output().find(R"("body":{"reason":"Orvane Host quit."})"), std::string::npos)
            << p->output();
    }
    EXPECT_EQ(host->waitExit(20s), 0) << host->output();
    EXPECT_NE(host->output().find("Stopped."), std::string::npos) << host->output();

    // The code is shown on the terminal only.
    std::ifstream log(dir / "state" / "orvane-host" / "host.log");
    std::stringstream text;
    text << log.rdbuf();
    EXPECT_FALSE(text.str().empty());
    EXPECT_EQ(text.str().find(code), std::string::npos);
}

TEST_F(NetOrvaneHost, SecondSignalExitsAtOnce) {
    auto host = startHost();
    ASSERT_TRUE(host->waitForOutput("Connect to:", 30s)) << host->output();
    pid_t pid = std::stoi(match(host->output(), R"(pid=(\d+))"));
    std::string port = match(host->output(), R"(Ready on port (\d+))");
    std::string code = match(host->output(), R"(Access code: ([A-Z0-9-]+))");
    // A connected viewer makes the orderly shutdown take its time.
    ChildProcess viewer({peerBinary, "connect", "--host", "127.0.0.1", "--port", port, "--code",
                         code, "--keychain", (dir / "viewer.json").string()});
    ASSERT_TRUE(viewer.waitForOutput("\"state\":\"ready\"", 20s)) << viewer.output();
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
