// The host's actions from a script against the real orvane-host on a private session bus.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

#include "OrvaneKit/security/AccessCode.h"
#include "OrvaneKit/security/Keychain.h"
#include "Orvane_Host/session/TrustedDevice.h"
#include "Orvane_Host/system/testing/PrivateBus.h"
#include "tests/support/HostHome.h"
#include "tests/support/ViewerPeer.h"

namespace orvane {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string hostctl = ORVANE_BINARY_DIR "/tools/orvane-hostctl";

struct Ran {
    int status = -1;
    std::string output;
};

Ran runHostctl(const std::string& busAddress, const std::string& args) {
    std::string command =
        "DBUS_SESSION_BUS_ADDRESS='" + busAddress + "' " + hostctl + " " + args + " 2>&1";
    Ran r;
    FILE* p = ::popen(command.c_str(), "r");
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, p)) r.output += buffer;
    int status = ::pclose(p);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

class NetHostBus : public ::testing::Test {
protected:
    PrivateBus bus;
    std::unique_ptr<HostHome> home;
    std::string code = AccessCode::generate();

    void SetUp() override {
        for (const auto& b : {HostHome::hostBinary, HostHome::peerBinary, hostctl})
            if (!fs::exists(b)) GTEST_SKIP() << "not built: " << b;
        if (bus.address().empty()) GTEST_SKIP() << "dbus-daemon is not installed";
        home = std::make_unique<HostHome>();
        ASSERT_TRUE(Keychain::set(code, "host.accessCode", "com.nimbrel.kelsap", false, {},
                                  home->keychain()));
    }
    Ran ctl(const std::string& args) { return runHostctl(bus.address(), args); }
    HostHome::Running start() {
        HostHome::Options options;
        options.env = {{"DBUS_SESSION_BUS_ADDRESS", bus.address()}};
        auto host = home->start(options);
        // The name is taken just after the host shows where to connect.
        for (int i = 0; i < 100 && ctl("get-code --no-start").status == 69; ++i)
            std::this_thread::sleep_for(50ms);
        return host;
    }
    ViewerPeer trusted(const std::string& name) {
        ViewerPeer device(home->dir(), name);
        auto list = TrustedDevice::load(home->settings());
        list.push_back({device.fingerprint(), device.name(), ClientPlatform::mac});
        TrustedDevice::save(home->settings(), list);
        home->settings().setBool("unattendedAccess", true);
        return device;
    }
    static std::string byeReason(const std::string& output) {
        auto byes = ViewerPeer::messages(output, "bye");
        return byes.empty() ? "<no bye>" : byes.back()["body"].value("reason", "");
    }
};

TEST_F(NetHostBus, CodeNewCodeAndDisconnectFromTheCommandLine) {
    auto none = ctl("get-code --no-start");
    EXPECT_EQ(none.status, 69);
    EXPECT_EQ(none.output, "Orvane Host is not running.\n");

    auto a = trusted("Desk A");
    auto b = trusted("Desk B");
    // A device whose session the host just ended waits to be asked again: a third one comes
    // in on the new code.
    auto c = trusted("Desk C");
    auto host = start();
    ASSERT_NE(host.port, 0) << host.process->output();
    auto got = ctl("get-code");
    EXPECT_EQ(got.status, 0);
    EXPECT_EQ(got.output, "Your Orvane access code is " + code + ".\n");

    auto pa = a.connect(host.port, code, "expect helloAck 20\nexpect bye 40\n");
    auto pb = b.connect(host.port, code, "expect helloAck 20\nexpect bye 40\n");
    ASSERT_TRUE(ViewerPeer::waitForMessages(*pa, "helloAck", 1, 30s)) << pa->output();
    ASSERT_TRUE(ViewerPeer::waitForMessages(*pb, "helloAck", 1, 30s)) << pb->output();
    auto changed = ctl("new-code --value");
    ASSERT_EQ(changed.status, 0) << changed.output;
    std::string fresh = changed.output.substr(0, changed.output.size() - 1);
    EXPECT_NE(fresh, code);
    EXPECT_EQ(pa->waitExit(60s), 0) << pa->output();
    EXPECT_EQ(pb->waitExit(60s), 0) << pb->output();
    EXPECT_EQ(byeReason(pa->output()), "The access code was changed.");
    EXPECT_EQ(byeReason(pb->output()), "The access code was changed.");

    // The old code is refused, the new one lets the device in.
    auto old = a.connect(host.port, code, "expect helloAck 20\n");
    EXPECT_EQ(old->waitExit(60s), 2) << old->output();
    auto in = c.connect(host.port, fresh, "expect helloAck 20\nexpect bye 40\n");
    ASSERT_TRUE(ViewerPeer::waitForMessages(*in, "helloAck", 1, 30s)) << in->output();
    auto out = ctl("disconnect-all");
    EXPECT_EQ(out.output, "Disconnected 1 device.\n");
    EXPECT_EQ(in->waitExit(60s), 0) << in->output();
    EXPECT_EQ(byeReason(in->output()), "Disconnected by the host.");
    EXPECT_EQ(ctl("disconnect-all").output, "Nobody was connected.\n");
}

// The built activation file, with its program kept in a private home: a script's first call
// starts the host, which then answers it.
TEST(NetHostBusActivation, FirstCallStartsTheHost) {
    const fs::path shipped =
        ORVANE_BINARY_DIR "/share/dbus-1/services/com.nimbrel.kelsap.Host.service";
    for (const auto& b : {HostHome::hostBinary, hostctl, shipped.string()})
        if (!fs::exists(b)) GTEST_SKIP() << "not built: " << b;
    HostHome home;
    std::string code = AccessCode::generate();
    ASSERT_TRUE(
        Keychain::set(code, "host.accessCode", "com.nimbrel.kelsap", false, {}, home.keychain()));
    std::string file = readFile(shipped);
    EXPECT_NE(file.find("[D-BUS Service]\nName=com.nimbrel.kelsap.Host\n"), std::string::npos)
        << file;
    std::smatch exec;
    ASSERT_TRUE(std::regex_search(file, exec, std::regex(R"(\nExec=(\S+/orvane-host)\n)"))) << file;

    const std::string d = home.dir().string();
    const fs::path services = home.dir() / "bus-services", pidFile = home.dir() / "host.pid",
                   out = home.dir() / "host.out";
    fs::create_directories(services);
    std::ofstream(services / "com.nimbrel.kelsap.Host.service")
        << "[D-BUS Service]\nName=com.nimbrel.kelsap.Host\nExec=/bin/sh -c 'echo $$ > " +
               pidFile.string() + "; exec env -u DISPLAY HOME=" + d + " XDG_CONFIG_HOME=" + d +
               "/config XDG_DATA_HOME=" + d + "/data XDG_STATE_HOME=" + d +
               "/state PULSE_SERVER=unix:" + d +
               "/no-pulse ORVANE_UPDATE_SERVER=https://127.0.0.1:9 " + HostHome::hostBinary +
               " --port 0 --browser-port 0 > " + out.string() + " 2>&1'\n";
    PrivateBus bus(services);
    if (bus.address().empty()) GTEST_SKIP() << "dbus-daemon is not installed";
    // The bus started the host, so the test ends it.
    struct Stop {
        fs::path pidFile;
        ~Stop() {
            std::ifstream in(pidFile);
            pid_t pid = 0;
            if (!(in >> pid) || pid <= 0) return;
            ::kill(pid, SIGTERM);
            for (int i = 0; i < 100 && ::kill(pid, 0) == 0; ++i) std::this_thread::sleep_for(50ms);
            ::kill(pid, SIGKILL);
        }
    } stop{pidFile};

    EXPECT_EQ(runHostctl(bus.address(), "get-code --no-start").status, 69);
    EXPECT_FALSE(fs::exists(pidFile));
    auto got = runHostctl(bus.address(), "get-code");
    EXPECT_EQ(got.status, 0) << got.output << readFile(out);
    EXPECT_EQ(got.output, "Your Orvane access code is " + code + ".\n") << readFile(out);
    EXPECT_TRUE(fs::exists(pidFile));
    // Running now, it answers without being started again.
    EXPECT_EQ(runHostctl(bus.address(), "get-code --no-start --value").output, code + "\n");
}

}  // namespace
}  // namespace orvane
