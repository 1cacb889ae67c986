// The host binary meeting a viewer over the hole punch on loopback: a STUN server (coturn) tells
// the host its address, the host listens for QUIC on that port and publishes it, and a viewer
// dialled over QUIC is admitted like any other.
#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <condition_variable>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <thread>

#include "OrvaneKit/net/ngtcp2/QuicEndpoint.h"
#include "OrvaneKit/net/testing/FreePort.h"
#include "OrvaneKit/protocol/Hello.h"
#include "OrvaneKit/protocol/OrvaneConnection.h"
#include "OrvaneKit/reach/NATHolePunch.h"
#include "OrvaneKit/reach/testing/FakeSTUNServer.h"
#include "OrvaneKit/security/AccessCode.h"
#include "OrvaneKit/security/Keychain.h"
#include "OrvaneKit/security/testing/FakeIdentity.h"
#include "Orvane_Host/session/TrustedDevice.h"
#include "tests/support/HostHome.h"
#include "tests/support/NetLab.h"

namespace orvane {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr const char* turnserver = "/usr/bin/turnserver";

// coturn answering STUN only, on 127.0.0.1.
struct StunServer {
    std::uint16_t port = freeUdpPort();
    std::unique_ptr<ChildProcess> process;

    explicit StunServer(const fs::path& dir) {
        auto argv = stunOnlyCoturn("127.0.0.1", port);
        argv.insert(argv.end(), {"--simple-log", "--db", (dir / "turndb").string(), "--pidfile",
                                 (dir / "turnserver.pid").string()});
        process = std::make_unique<ChildProcess>(std::move(argv));
    }
    // Whether it answers a Binding request within a few seconds.
    bool answers() {
        for (auto until = Clock::now() + 5s; Clock::now() < until;) {
            asio::io_context io;
            std::optional<STUNDiscovery> got;
            STUNClient::discover(io.get_executor(), {"127.0.0.1", port}, 500ms,
                                 [&](std::optional<STUNDiscovery> d) { got = d; });
            io.run();
            if (got) return true;
        }
        return false;
    }
};

// An in-process viewer on a QUIC transport: records the message types it hears.
struct QuicViewer {
    NetContext net{2};
    FakeIdentity id{Bytes(32, 0x5A), systemRandom(), "com.nimbrel.kelsap.viewer"};
    std::shared_ptr<OrvaneConnection> conn;
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<MessageType> heard;
    bool ready = false;

    ~QuicViewer() {
        if (conn) conn->cancel();
        std::this_thread::sleep_for(100ms);
        net.stop();
    }
    void dial(HostPort to, const std::string& code) {
        auto t = dialQuic(net, to, AccessCode::pskKey(code));
        conn = OrvaneConnection::makeClient(t, code, NetworkEndpoint{to}, true,
                                            {&id.identity(), nullptr, &net});
        conn->setOnStateChange([this](const ConnState& s) {
            std::lock_guard lock(mutex);
            if (holds_alternative<conn::Ready>(s)) ready = true;
            cv.notify_all();
        });
        conn->setOnMessage([this](MessageType type, Bytes) {
            std::lock_guard lock(mutex);
            heard.push_back(type);
            cv.notify_all();
        });
        conn->start();
    }
    bool waitReady() {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, 20s, [&] { return ready; });
    }
    bool waitFor(MessageType type) {
        std::unique_lock lock(mutex);
        return cv.wait_for(
            lock, 20s, [&] { return std::find(heard.begin(), heard.end(), type) != heard.end(); });
    }
};

class HolePunchHome : public ::testing::Test {
protected:
    std::unique_ptr<HostHome> home;
    std::string code = AccessCode::generate();

    void SetUp() override {
        for (const auto& b : {HostHome::hostBinary, HostHome::peerBinary})
            if (!fs::exists(b)) GTEST_SKIP() << "not built: " << b;
        home = std::make_unique<HostHome>();
        ASSERT_TRUE(Keychain::set(code, "host.accessCode", "com.nimbrel.kelsap", false, {},
                                  home->keychain()));
    }
    // The machine's record as the owner's other device reads it.
    std::optional<nlohmann::json> macRecord(std::function<bool(const nlohmann::json&)> pred) {
        const std::string d = home->dir().string();
        for (auto until = Clock::now() + 10s; Clock::now() < until;
             std::this_thread::sleep_for(100ms)) {
            auto [status, out] =
                ChildProcess::run({"/usr/bin/env", "HOME=" + d, "XDG_CONFIG_HOME=" + d + "/config",
                                   "XDG_DATA_HOME=" + d + "/data", "XDG_STATE_HOME=" + d + "/state",
                                   HostHome::peerBinary, "cloud", "macs"},
                                  "", 20s);
            std::istringstream in(out);
            for (std::string l; std::getline(in, l);) {
                auto j = nlohmann::json::parse(l, nullptr, false);
                if (j.is_object() && j.contains("id") && pred(j)) return j;
            }
        }
        return std::nullopt;
    }
    bool historyShows(const std::string& text) {
        for (auto until = Clock::now() + 10s; Clock::now() < until;
             std::this_thread::sleep_for(20ms))
            if (readFile(home->historyFile()).find(text) != std::string::npos) return true;
        return false;
    }
};

class SlowHostHolePunch : public HolePunchHome {
protected:
    void SetUp() override {
        if (!fs::exists(turnserver))
            GTEST_SKIP() << "coturn is not installed (scripts/install-deps.sh)";
        HolePunchHome::SetUp();
    }
};

using NetHostHolePunch = HolePunchHome;

// Off by default: a STUN server set in the settings hears nothing and the record has no address.
TEST_F(NetHostHolePunch, SwitchedOffTheHostAsksNoSTUNServer) {
    FakeSTUNServer stun(FakeSTUNServer::reflecting());
    home->settings().setString(NATHolePunch::stunServerKey,
                               "127.0.0.1:" + std::to_string(stun.port()));
    auto host = home->start();
    ASSERT_NE(host.port, 0) << host.process->output();
    auto record = macRecord([](const nlohmann::json& j) { return j.contains("natPort"); });
    ASSERT_TRUE(record) << host.process->output();
    EXPECT_TRUE((*record)["natPort"].is_null());
    EXPECT_TRUE(host.process->waitForOutput("fetched", 10s)) << host.process->output();
    EXPECT_EQ(stun.requests, 0);
    EXPECT_EQ(readFile(home->logFile()).find("NAT:"), std::string::npos);
}

TEST_F(SlowHostHolePunch, AViewerDialsTheHostsPublicUdpAddressOverQuic) {
    StunServer stun(home->dir());
    ASSERT_TRUE(stun.answers()) << stun.process->output();
    QuicViewer viewer;
    TrustedDevice::save(home->settings(), {{viewer.id.identity().fingerprint(), "Punch Viewer",
                                            ClientPlatform::mac}});
    home->settings().setBool("unattendedAccess", true);
    home->settings().setBool(NATHolePunch::defaultsKey, true);
    home->settings().setString(NATHolePunch::stunServerKey,
                               "127.0.0.1:" + std::to_string(stun.port));
    auto host = home->start();
    ASSERT_NE(host.port, 0) << host.process->output();

    // The record carries the address STUN saw, and the host listens there.
    auto record = macRecord([](const nlohmann::json& j) { return j["natPort"].is_number(); });
    ASSERT_TRUE(record) << host.process->output() << readFile(home->logFile());
    EXPECT_EQ((*record)["natHost"], "127.0.0.1");
    const auto natPort = (*record)["natPort"].get<std::uint16_t>();
    EXPECT_NE(natPort, host.port);
    EXPECT_NE(readFile(home->logFile())
                  .find("NAT: QUIC hole-punch listener up on port " + std::to_string(natPort)),
              std::string::npos)
        << readFile(home->logFile());

    viewer.dial({"127.0.0.1", natPort}, code);
    ASSERT_TRUE(viewer.waitReady()) << readFile(home->logFile());
    Hello hello;
    hello.deviceName = "Punch Viewer";
    hello.platform = ClientPlatform::mac;
    viewer.conn->send(MessageType::hello, hello);
    ASSERT_TRUE(viewer.waitFor(MessageType::helloAck)) << readFile(home->logFile());
    viewer.conn->cancel();
    EXPECT_TRUE(historyShows("Internet (through NAT)")) << readFile(home->historyFile());
}

}  // namespace
}  // namespace orvane
