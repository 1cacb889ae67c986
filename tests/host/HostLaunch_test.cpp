// What the host binary does at launch and at exit besides sessions: the update check against a
// local feed, and the diagnostics it leaves behind.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <thread>

#include "Orvane_Host/update/testing/TestFeedServer.h"
#include "tests/support/HostHome.h"

namespace orvane {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::vector<fs::path> payloads(const fs::path& folder, const std::string& kind) {
    std::vector<fs::path> out;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
        if (it->path().filename().string().find("-" + kind + "-") != std::string::npos)
            out.push_back(it->path());
    return out;
}

class InteropHostLaunch : public ::testing::Test {
protected:
    void SetUp() override {
        if (!fs::exists(HostHome::hostBinary))
            GTEST_SKIP() << "not built: " << HostHome::hostBinary;
        home = std::make_unique<HostHome>();
    }
    bool logShows(const std::string& text, std::chrono::seconds within) {
        auto until = std::chrono::steady_clock::now() + within;
        while (std::chrono::steady_clock::now() < until) {
            if (readFile(home->logFile()).find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(50ms);
        }
        return false;
    }
    std::unique_ptr<HostHome> home;
};

TEST_F(InteropHostLaunch, TheLaunchCheckOnlyLogsAndTheExitLeavesItsFigures) {
    std::string problem;
    auto feed = TestFeedServer::start(problem);
    if (!feed) GTEST_SKIP() << "no test server: " << problem;
    feed->serve("200 OK", TestFeedServer::release(999999999, "https://127.0.0.1/Orvane.deb"));
    home->setEnvironment("ORVANE_UPDATE_SERVER", feed->address());
    home->setEnvironment("ORVANE_UPDATE_CA_FILE", feed->caFile());

    auto running = home->start();
    ASSERT_NE(running.port, 0) << running.process->output();
    EXPECT_TRUE(logShows("Orvane Host 2.999999999 is available (you have ", 20s))
        << readFile(home->logFile());
    ASSERT_EQ(::kill(running.pid, SIGTERM), 0);
    EXPECT_EQ(running.process->waitExit(20s), 0) << running.process->output();

    // Nobody answered, so nothing was skipped, opened or declined on the person's behalf.
    EXPECT_FALSE(home->settings().hasStoredValue("update.dismissedBuild"));
    EXPECT_EQ(readFile(home->logFile()).find("no one to answer"), std::string::npos);
    auto figures = payloads(home->diagnosticsFolder(), "metrics");
    ASSERT_EQ(figures.size(), 1u);
    auto m = nlohmann::json::parse(readFile(figures[0]));
    EXPECT_EQ(m["type"], "exit");
    EXPECT_GT(m["peakResidentBytes"].get<std::int64_t>(), 0);
}

TEST_F(InteropHostLaunch, ACrashIsSavedAtTheNextStart) {
    auto first = home->start();
    ASSERT_NE(first.port, 0) << first.process->output();
    ASSERT_EQ(::kill(first.pid, SIGSEGV), 0);
    auto status = first.process->waitExit(20s);
    ASSERT_TRUE(status);
    EXPECT_NE(*status, 0);
    EXPECT_TRUE(payloads(home->diagnosticsFolder(), "diagnostic").empty());

    auto second = home->start();
    ASSERT_NE(second.port, 0) << second.process->output();
    auto saved = payloads(home->diagnosticsFolder(), "diagnostic");
    ASSERT_EQ(saved.size(), 1u);
    auto p = nlohmann::json::parse(readFile(saved[0]));
    EXPECT_EQ(p["signal"], SIGSEGV);
    EXPECT_EQ(p["pid"], first.pid);
    EXPECT_EQ(p["complete"], true);
    ASSERT_EQ(::kill(second.pid, SIGTERM), 0);
    EXPECT_EQ(second.process->waitExit(20s), 0) << second.process->output();
}

}  // namespace
}  // namespace orvane
