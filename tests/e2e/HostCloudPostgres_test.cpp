// The host binary with the owner's records on a PostgreSQL server: orvane-peer, in the same
// home, plays the owner's other device.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <thread>

#include "OrvaneKit/security/AccessCode.h"
#include "OrvaneKit/security/Keychain.h"
#include "Orvane_Host/session/TrustedDevice.h"
#include "tests/support/HostHome.h"
#include "tests/support/PostgresServer.h"
#include "tests/support/ViewerPeer.h"

namespace orvane {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

class SlowHostCloudPostgres : public ::testing::Test {
protected:
    void SetUp() override {
        for (const auto& b : {HostHome::hostBinary, HostHome::peerBinary})
            if (!fs::exists(b)) GTEST_SKIP() << "not built: " << b;
        std::string why;
        server = PostgresServer::shared(why);
        if (!server) {
            if (PostgresServer::missing()) GTEST_SKIP() << why;
            FAIL() << why;
        }
        const std::string info = server->newDatabase();
        const auto at = info.find("dbname=") + 7;
        ASSERT_TRUE(Keychain::set(code, "host.accessCode", "com.nimbrel.kelsap", false, {},
                                  home.keychain()));
        fs::create_directories(home.dir() / "config" / "orvane");
        std::ofstream(home.dir() / "config" / "orvane" / "cloud.json") << nlohmann::json{
            {"backend", "postgres"},
            {"userRecordName", "_00112233445566778899aabbccddeeff"},
            {"server", "127.0.0.1"},
            {"port", server->port()},
            {"database", info.substr(at, info.find(' ', at) - at)},
            {"role", "postgres"}}.dump();
        viewer.emplace(home.dir(), "Desk Viewer");
        TrustedDevice::save(home.settings(),
                            {{viewer->fingerprint(), viewer->name(), ClientPlatform::mac}});
        home.settings().setBool("unattendedAccess", true);
    }

    // orvane-peer's cloud command in the host's home.
    auto peer(std::vector<std::string> args) {
        const std::string d = home.dir().string();
        std::vector<std::string> argv{"/usr/bin/env",
                                      "HOME=" + d,
                                      "XDG_CONFIG_HOME=" + d + "/config",
                                      "XDG_DATA_HOME=" + d + "/data",
                                      "XDG_STATE_HOME=" + d + "/state",
                                      HostHome::peerBinary,
                                      "cloud"};
        argv.insert(argv.end(), args.begin(), args.end());
        return ChildProcess::run(argv, "", 20s);
    }

    // The host's record as the owner's other device reads it, once published.
    std::optional<nlohmann::json> publishedRecord() {
        std::optional<nlohmann::json> record;
        for (auto until = std::chrono::steady_clock::now() + 10s;
             !record && std::chrono::steady_clock::now() < until;
             std::this_thread::sleep_for(100ms)) {
            std::istringstream in(peer({"macs"}).second);
            for (std::string l; std::getline(in, l);) {
                auto j = nlohmann::json::parse(l, nullptr, false);
                if (j.is_object() && j.contains("id")) record = j;
            }
        }
        return record;
    }

    // Sends disconnectAll from the owner's phone; the viewer gets its bye within `within`.
    void expectDisconnect(const std::string& macID, ChildProcess& p, std::chrono::seconds within) {
        auto [status, out] = peer({"send", "disconnectAll", macID, "--name", "Owner's iPhone"});
        ASSERT_EQ(status, 0) << out;
        ASSERT_TRUE(p.waitForOutput(R"("type":"bye")", within)) << p.output();
        auto byes = ViewerPeer::messages(p.output(), "bye");
        ASSERT_EQ(byes.size(), 1u) << p.output();
        EXPECT_EQ(byes[0]["body"].value("reason", ""), "Disconnected from Owner's iPhone.");
    }

    // Stops the server; it is started again when this goes, whatever happens in the test, for
    // the program's other tests.
    struct Stopped {
        explicit Stopped(PostgresServer* server) : s(server) { s->stop(); }
        void restart() { done = true, s->start(); }
        ~Stopped() {
            if (!done) s->start();
        }
        PostgresServer* s;
        bool done = false;
    };

    // Pings keep the session past the host's silence limit over two ticks.
    static std::string pingingScript() {
        std::string script = "expect helloAck 20\n";
        for (int i = 0; i < 15; ++i) script += "wait 5000\nsend ping hex:01\nexpect pong 10\n";
        return script;
    }

    PostgresServer* server = nullptr;
    HostHome home;
    const std::string code = AccessCode::generate();
    std::optional<ViewerPeer> viewer;
};

TEST_F(SlowHostCloudPostgres, PublishesItselfAndRunsTheOwnersCommand) {
    auto host = home.start();
    ASSERT_NE(host.port, 0) << host.process->output();
    auto record = publishedRecord();
    ASSERT_TRUE(record) << host.process->output();
    EXPECT_EQ((*record)["accessCode"], code);

    auto p = viewer->connect(host.port, code, "expect helloAck 20\nexpect bye 30\nclosed 10\n");
    ASSERT_TRUE(p->waitForOutput(R"("type":"helloAck")", 30s)) << p->output();
    expectDisconnect((*record)["id"].get<std::string>(), *p, 10s);
}

// With the server stopped the host says so at its tick and sessions go on; once the server is
// back its next tick runs the owner's command.
TEST_F(SlowHostCloudPostgres, RunsOnWhileTheServerIsDownAndCatchesUpAfterItsRestart) {
    auto host = home.start();
    ASSERT_NE(host.port, 0) << host.process->output();
    auto record = publishedRecord();
    ASSERT_TRUE(record) << host.process->output();
    Stopped stopped(server);

    auto p = viewer->connect(host.port, code, pingingScript());
    ASSERT_TRUE(p->waitForOutput(R"("type":"helloAck")", 30s)) << p->output();
    ASSERT_TRUE(
        host.process->waitForOutput("[cloud] commands failed: The cloud server failed", 35s))
        << host.process->output();

    stopped.restart();
    expectDisconnect((*record)["id"].get<std::string>(), *p, 35s);
    if (HasFailure()) ADD_FAILURE() << host.process->output();
}

// A host started while the server is down says so and lets viewers in; once the server is
// back, a later tick makes its zone, publishes it and runs the owner's command.
TEST_F(SlowHostCloudPostgres, StartedWhileTheServerIsDownCatchesUpOnceItIsBack) {
    Stopped stopped(server);
    auto host = home.start();
    ASSERT_NE(host.port, 0) << host.process->output();
    ASSERT_TRUE(
        host.process->waitForOutput("Anywhere access: iCloud: The cloud server failed", 15s))
        << host.process->output();
    auto p = viewer->connect(host.port, code, pingingScript());
    ASSERT_TRUE(p->waitForOutput(R"("type":"helloAck")", 30s)) << p->output();

    stopped.restart();
    ASSERT_TRUE(host.process->waitForOutput("[cloud] published: ", 40s)) << host.process->output();
    auto record = publishedRecord();
    ASSERT_TRUE(record) << host.process->output();
    expectDisconnect((*record)["id"].get<std::string>(), *p, 35s);
    if (HasFailure()) ADD_FAILURE() << host.process->output();
}

}  // namespace
}  // namespace orvane
