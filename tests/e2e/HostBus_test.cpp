// The host's actions from a script against the real orvane-host on a private session bus.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

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
    Ran ctl(const std::string& args) {
        std::string command =
            "DBUS_SESSION_BUS_ADDRESS='" + bus.address() + "' " + hostctl + " " + args + " 2>&1";
        Ran r;
        FILE* p = ::popen(command.c_str(), "r");
        char buffer[512];
        while (std::fgets(buffer, sizeof buffer, p)) r.output += buffer;
        int status = ::pclose(p);
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return r;
    }
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

}  // namespace
}  // namespace orvane
