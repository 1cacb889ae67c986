// The host binary with the owner's cloud records: orvane-peer plays the owner's other device
// (same home, so the same account file, store and keychain) and a viewer over loopback.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "OrvaneKit/base/Paths.h"
#include "OrvaneKit/security/AccessCode.h"
#include "OrvaneKit/security/Keychain.h"
#include "Orvane_Host/reach/AnywhereAccess.h"
#include "Orvane_Host/session/TrustedDevice.h"
#include "tests/support/HostHome.h"
#include "tests/support/ViewerPeer.h"

namespace orvane {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr const char* keychainService = "com.nimbrel.kelsap";

std::vector<std::string> commandLines(const std::string& command) {
    auto [status, out] = ChildProcess::run({"/bin/sh", "-c", command}, "", 10s);
    std::vector<std::string> lines;
    std::istringstream in(out);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
}

class NetHostCloud : public ::testing::Test {
protected:
    std::unique_ptr<HostHome> home;
    std::string code = AccessCode::generate();

    void SetUp() override {
        for (const auto& b : {HostHome::hostBinary, HostHome::peerBinary})
            if (!fs::exists(b)) GTEST_SKIP() << "not built: " << b;
        home = std::make_unique<HostHome>();
        ASSERT_TRUE(
            Keychain::set(code, "host.accessCode", keychainService, false, {}, home->keychain()));
    }

    std::vector<std::string> env() const {
        const std::string d = home->dir().string();
        return {"/usr/bin/env",
                "HOME=" + d,
                "XDG_CONFIG_HOME=" + d + "/config",
                "XDG_DATA_HOME=" + d + "/data",
                "XDG_STATE_HOME=" + d + "/state",
                HostHome::peerBinary,
                "cloud"};
    }
    // orvane-peer cloud ARGS: exit status and output.
    std::pair<std::optional<int>, std::string> cloud(std::vector<std::string> args) {
        auto argv = env();
        argv.insert(argv.end(), args.begin(), args.end());
        return ChildProcess::run(argv, "", 20s);
    }
    std::unique_ptr<ChildProcess> watch() {
        auto argv = env();
        argv.push_back("watch");
        return std::make_unique<ChildProcess>(argv);
    }
    // The first machine `cloud macs` shows for which `pred` holds, waiting up to `timeout`.
    std::optional<nlohmann::json> mac(std::chrono::seconds timeout,
                                      std::function<bool(const nlohmann::json&)> pred = {}) {
        for (auto until = Clock::now() + timeout; Clock::now() < until;
             std::this_thread::sleep_for(100ms)) {
            auto [status, out] = cloud({"macs"});
            std::istringstream in(out);
            for (std::string l; std::getline(in, l);) {
                auto j = nlohmann::json::parse(l, nullptr, false);
                if (j.is_object() && j.contains("id") && (!pred || pred(j))) return j;
            }
        }
        return std::nullopt;
    }
    std::vector<nlohmann::json> commands() {
        std::vector<nlohmann::json> out;
        std::istringstream in(cloud({"commands"}).second);
        for (std::string l; std::getline(in, l);) out.push_back(nlohmann::json::parse(l));
        return out;
    }
    ViewerPeer trusted(const std::string& name) {
        ViewerPeer device(home->dir(), name);
        auto list = TrustedDevice::load(home->settings());
        list.push_back({device.fingerprint(), device.name(), ClientPlatform::mac});
        TrustedDevice::save(home->settings(), list);
        home->settings().setBool("unattendedAccess", true);
        return device;
    }
    fs::path storeFile() const {
        return home->dir() / "data" / "orvane" / "cloud" / "iCloud.com.nimbrel.kelsap.sqlite";
    }
    static std::size_t occurrences(const std::string& text, const std::string& what) {
        std::size_t n = 0;
        for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
        return n;
    }
};

TEST_F(NetHostCloud, PublishesItselfSealedAndRunsTheOwnersCommandOnce) {
    if (!fs::exists("/usr/bin/sqlite3")) GTEST_SKIP() << "sqlite3 is not installed";
    auto viewer = trusted("Desk Viewer");
    auto host = home->start();
    ASSERT_NE(host.port, 0) << host.process->output();

    auto record = mac(10s);
    ASSERT_TRUE(record) << host.process->output();
    const std::string macID = (*record)["id"];
    EXPECT_EQ((*record)["accessCode"], code);
    EXPECT_EQ((*record)["online"], true);
    EXPECT_FALSE((*record)["name"].get<std::string>().empty());
    std::vector<std::string> ipv4;
    for (const auto& l : commandLines("ip -4 -o addr show | awk '{print $4}'")) {
        auto a = l.substr(0, l.find('/'));
        if (a.rfind("127.", 0) != 0) ipv4.push_back(a);
    }
    std::sort(ipv4.begin(), ipv4.end());
    auto lan = (*record)["lanAddresses"].get<std::vector<std::string>>();
    std::sort(lan.begin(), lan.end());
    EXPECT_EQ(lan, ipv4);
    bool globalV6 = false;
    for (const auto& l : commandLines("ip -6 -o addr show scope global | awk '{print $4}'"))
        globalV6 |= AnywhereAccess::isGlobalUnicastIPv6(l.substr(0, l.find('/')));
    EXPECT_TRUE(host.process->waitForOutput(
        globalV6 ? "Anywhere access: Reachable from anywhere"
                 : "Anywhere access: Home network only (router didn't open a port)",
        10s))
        << host.process->output();

    // The identity in the record is the one the viewer checks in its handshake.
    auto p = viewer.connect(host.port, code, "expect helloAck 20\nexpect bye 30\nclosed 10\n",
                            {"--expect-fingerprint", (*record)["identity"].get<std::string>()});
    ASSERT_TRUE(p->waitForOutput(R"("type":"helloAck")", 30s)) << p->output();

    // The sealed fields never reach the files, while the owner's device reads them.
    const auto token = Keychain::read("host.iCloudToken", keychainService, {}, home->keychain());
    ASSERT_TRUE(token);
    EXPECT_EQ((*record)["authToken"], *token);
    const std::string bytes = readFile(storeFile()) + readFile(storeFile().string() + "-wal");
    EXPECT_EQ(bytes.find(code), std::string::npos);
    EXPECT_EQ(bytes.find(*token), std::string::npos);
    const std::string db = storeFile().string();
    EXPECT_EQ(commandLines("sqlite3 '" + db + "' 'PRAGMA integrity_check'"),
              std::vector<std::string>{"ok"});
    EXPECT_EQ(commandLines("sqlite3 '" + db + "' 'PRAGMA journal_mode'"),
              std::vector<std::string>{"wal"});
    struct stat st {};
    ASSERT_EQ(::stat(db.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // Another device watches while the owner's phone leaves two commands.
    auto watcher = watch();
    ASSERT_TRUE(watcher->waitForOutput(R"("event":"watching")", 10s)) << watcher->output();
    auto [other, otherOut] = cloud({"send", "newCode", "ANOTHER-MAC"});
    ASSERT_EQ(other, 0) << otherOut;
    ASSERT_TRUE(watcher->waitForOutput(R"("event":"push")", 5s)) << watcher->output();
    const auto pushes = occurrences(watcher->output(), R"("event":"push")");

    const auto sent = Clock::now();
    auto [status, out] = cloud({"send", "disconnectAll", macID, "--name", "Owner's iPhone"});
    ASSERT_EQ(status, 0) << out;
    for (auto until = Clock::now() + 1s; Clock::now() < until; std::this_thread::sleep_for(10ms))
        if (occurrences(watcher->output(), R"("event":"push")") > pushes) break;
    EXPECT_GT(occurrences(watcher->output(), R"("event":"push")"), pushes)
        << "a push within 1 s of the send";
    ASSERT_TRUE(p->waitForOutput(R"("type":"bye")", 3s))
        << p->output() << readFile(home->logFile());
    EXPECT_LE(Clock::now() - sent, 3500ms);
    auto byes = ViewerPeer::messages(p->output(), "bye");
    ASSERT_EQ(byes.size(), 1u) << p->output();
    EXPECT_EQ(byes[0]["body"].value("reason", ""), "Disconnected from Owner's iPhone.");

    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(
        occurrences(readFile(home->logFile()), "\"command disconnectAll from Owner's iPhone\""), 1u)
        << readFile(home->logFile());
    auto left = commands();
    ASSERT_EQ(left.size(), 1u) << "only another machine's command stays";
    EXPECT_EQ(left[0]["macID"], "ANOTHER-MAC");
}

TEST_F(NetHostCloud, ANewCodeFromTheCloudEndsSessionsAndIsPublished) {
    auto viewer = trusted("Second Viewer");
    auto host = home->start();
    ASSERT_NE(host.port, 0) << host.process->output();
    auto record = mac(10s);
    ASSERT_TRUE(record) << host.process->output();

    auto p = viewer.connect(host.port, code, "expect helloAck 20\nexpect bye 30\nclosed 10\n");
    ASSERT_TRUE(p->waitForOutput(R"("type":"helloAck")", 30s)) << p->output();
    auto [status, out] =
        cloud({"send", "newCode", (*record)["id"].get<std::string>(), "--name", "Owner's iPad"});
    ASSERT_EQ(status, 0) << out;
    ASSERT_TRUE(p->waitForOutput(R"("type":"bye")", 5s)) << p->output();
    EXPECT_EQ(ViewerPeer::messages(p->output(), "bye").at(0)["body"].value("reason", ""),
              "The access code was changed.");

    auto renewed = mac(10s, [&](const nlohmann::json& m) { return m["accessCode"] != code; });
    ASSERT_TRUE(renewed) << host.process->output();
    const std::string fresh = (*renewed)["accessCode"];
    EXPECT_TRUE(host.process->waitForOutput("Access code: " + fresh, 5s));

    ViewerPeer stranger(home->dir(), "Old Code Phone");
    auto refused = stranger.connect(host.port, code, "expect helloAck 10\n");
    EXPECT_EQ(refused->waitExit(30s), 2) << refused->output();
}

TEST_F(NetHostCloud, WithoutAnAccountViewersStillGetIn) {
    const auto file = home->dir() / "config" / "orvane" / "cloud.json";
    const std::string text =
        R"({"backend": "sqlite", "userRecordName": "_0011", "account": "none"})";
    ASSERT_TRUE(writeFileAtomically(file, text.data(), text.size()));
    auto viewer = trusted("Laptop");
    auto host = home->start();
    ASSERT_NE(host.port, 0) << host.process->output();
    EXPECT_TRUE(host.process->waitForOutput("Anywhere access: iCloud unavailable: ", 10s))
        << host.process->output();
    auto p = viewer.connect(host.port, code, "expect helloAck 20\n");
    EXPECT_EQ(p->waitExit(40s), 0) << p->output();
    auto [status, out] = cloud({"macs"});
    EXPECT_EQ(status, 1) << out;
}

}  // namespace
}  // namespace orvane
