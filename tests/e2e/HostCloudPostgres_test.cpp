// The host binary with the owner's records on a PostgreSQL server: orvane-peer, in the same
// home, plays the owner's other device.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
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

TEST(SlowHostCloudPostgres, PublishesItselfAndRunsTheOwnersCommand) {
    for (const auto& b : {HostHome::hostBinary, HostHome::peerBinary})
        if (!fs::exists(b)) GTEST_SKIP() << "not built: " << b;
    std::string why;
    auto* server = PostgresServer::shared(why);
    if (!server) {
        if (PostgresServer::missing()) GTEST_SKIP() << why;
        FAIL() << why;
    }
    const std::string info = server->newDatabase();
    const auto at = info.find("dbname=") + 7;
    HostHome home;
    const std::string code = AccessCode::generate();
    ASSERT_TRUE(
        Keychain::set(code, "host.accessCode", "com.nimbrel.kelsap", false, {}, home.keychain()));
    fs::create_directories(home.dir() / "config" / "orvane");
    std::ofstream(home.dir() / "config" / "orvane" / "cloud.json") << nlohmann::json{
        {"backend", "postgres"},
        {"userRecordName", "_00112233445566778899aabbccddeeff"},
        {"server", "127.0.0.1"},
        {"port", server->port()},
        {"database", info.substr(at, info.find(' ', at) - at)},
        {"role", "postgres"}}.dump();
    ViewerPeer viewer(home.dir(), "Desk Viewer");
    TrustedDevice::save(home.settings(),
                        {{viewer.fingerprint(), viewer.name(), ClientPlatform::mac}});
    home.settings().setBool("unattendedAccess", true);

    const std::string d = home.dir().string();
    auto peer = [&](std::vector<std::string> args) {
        std::vector<std::string> argv{"/usr/bin/env",
                                      "HOME=" + d,
                                      "XDG_CONFIG_HOME=" + d + "/config",
                                      "XDG_DATA_HOME=" + d + "/data",
                                      "XDG_STATE_HOME=" + d + "/state",
                                      HostHome::peerBinary,
                                      "cloud"};
        argv.insert(argv.end(), args.begin(), args.end());
        return ChildProcess::run(argv, "", 20s);
    };
    auto host = home.start();
    ASSERT_NE(host.port, 0) << host.process->output();
    std::optional<nlohmann::json> record;
    for (auto until = std::chrono::steady_clock::now() + 10s;
         !record && std::chrono::steady_clock::now() < until; std::this_thread::sleep_for(100ms)) {
        std::istringstream in(peer({"macs"}).second);
        for (std::string l; std::getline(in, l);) {
            auto j = nlohmann::json::parse(l, nullptr, false);
            if (j.is_object() && j.contains("id")) record = j;
        }
    }
    ASSERT_TRUE(record) << host.process->output();
    EXPECT_EQ((*record)["accessCode"], code);

    auto p = viewer.connect(host.port, code, "expect helloAck 20\nexpect bye 30\nclosed 10\n");
    ASSERT_TRUE(p->waitForOutput(R"("type":"helloAck")", 30s)) << p->output();
    auto [status, out] = peer(
        {"send", "disconnectAll", (*record)["id"].get<std::string>(), "--name", "Owner's iPhone"});
    ASSERT_EQ(status, 0) << out;
    ASSERT_TRUE(p->waitForOutput(R"("type":"bye")", 10s)) << p->output();
    auto byes = ViewerPeer::messages(p->output(), "bye");
    ASSERT_EQ(byes.size(), 1u) << p->output();
    EXPECT_EQ(byes[0]["body"].value("reason", ""), "Disconnected from Owner's iPhone.");
}

}  // namespace
}  // namespace orvane
