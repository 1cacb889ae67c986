// A machine and a viewer each behind a NAT of its own, inside network namespaces:
//
//   host 10.1.0.2 — natH 10.1.0.1 | 11.0.0.1 — inet 11.0.0.2 | 12.0.0.2 — natV 12.0.0.1 | 10.2.0.1
//   — viewer 10.2.0.2
//
// inet routes between the two public networks and runs coturn as the STUN server (11.0.0.2:3478).
// Both NATs masquerade and, like home routers, drop every unsolicited packet from outside
// (`ct state new`): only a flow one of their own opened comes back in. Neither end can dial the
// other; only the hole punch meets them. Both share one home, so one cloud store file.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <asio/io_context.hpp>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "OrvaneKit/reach/STUN.h"
#include "OrvaneKit/security/AccessCode.h"
#include "OrvaneKit/security/Keychain.h"
#include "Orvane_Host/session/TrustedDevice.h"
#include "tests/support/HostHome.h"
#include "tests/support/NetLab.h"
#include "tests/support/ViewerPeer.h"

namespace orvane {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

bool eventually(const std::function<bool()>& pred, std::chrono::milliseconds limit = 10s) {
    for (auto until = Clock::now() + limit; Clock::now() < until;
         std::this_thread::sleep_for(100ms))
        if (pred()) return true;
    return pred();
}

constexpr const char* stunAddress = "11.0.0.2";
constexpr std::uint16_t stunPort = 3478;

std::optional<STUNDiscovery> discover() {
    asio::io_context io;
    std::optional<STUNDiscovery> found;
    STUNClient::discover(io.get_executor(), {stunAddress, stunPort}, 3s,
                         [&](std::optional<STUNDiscovery> r) { found = std::move(r); });
    io.run();
    return found;
}

class SlowTwoNATs : public ::testing::Test {
protected:
    std::unique_ptr<NetLab> lab;
    std::string host, natH, inet, natV, viewer;
    std::unique_ptr<ChildProcess> coturn;

    void SetUp() override {
        if (auto why = NetLab::unavailable({"nft", "turnserver"})) GTEST_SKIP() << *why;
        lab = std::make_unique<NetLab>();
        host = lab->addNamespace("host");
        natH = lab->addNamespace("natH");
        inet = lab->addNamespace("inet");
        natV = lab->addNamespace("natV");
        viewer = lab->addNamespace("viewer");
        lab->link(host, "lan0", natH, "lan");
        lab->link(natH, "wan", inet, "toH");
        lab->link(inet, "toV", natV, "wan");
        lab->link(natV, "lan", viewer, "lan0");
        lab->sh(host, "ip addr add 10.1.0.2/24 dev lan0 && ip route add default via 10.1.0.1");
        lab->sh(viewer, "ip addr add 10.2.0.2/24 dev lan0 && ip route add default via 10.2.0.1");
        lab->sh(inet,
                "ip addr add 11.0.0.2/24 dev toH && ip addr add 12.0.0.2/24 dev toV && "
                "sysctl -qw net.ipv4.ip_forward=1");
        router(natH, "10.1.0.1/24", "11.0.0.1/24", "11.0.0.2");
        router(natV, "10.2.0.1/24", "12.0.0.1/24", "12.0.0.2");
        coturn = lab->spawn(inet, stunOnlyCoturn(stunAddress, stunPort));
    }

    // A home router: masquerades its LAN onto the WAN and lets in only what answers a flow from
    // inside.
    void router(const std::string& ns, const std::string& lan, const std::string& wan,
                const std::string& gateway) {
        lab->sh(ns, "ip addr add " + lan + " dev lan && ip addr add " + wan +
                        " dev wan && ip route add default via " + gateway +
                        " && sysctl -qw net.ipv4.ip_forward=1");
        auto file = lab->dir() / (ns.substr(ns.rfind('-') + 1) + ".nft");
        std::ofstream(file) << R"(table ip nat {
  chain postrouting { type nat hook postrouting priority 100; policy accept;
                      oifname "wan" masquerade; }
}
table inet home {
  chain input { type filter hook input priority 0; policy accept;
                iifname "wan" ct state new drop; }
  chain forward { type filter hook forward priority 0; policy accept;
                  iifname "wan" ct state new drop; }
}
)";
        lab->sh(ns, "nft -f " + file.string());
    }

    std::optional<STUNDiscovery> discoverFrom(const std::string& ns) {
        std::optional<STUNDiscovery> found;
        // coturn takes a moment to listen.
        eventually([&] { return (found = lab->inNamespace(ns, discover)).has_value(); });
        return found;
    }
};

int udpSocket(const char* address, std::uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{AF_INET, htons(port), {}, {}};
    inet_pton(AF_INET, address, &a.sin_addr);
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    return fd;
}

void sendTo(int fd, const char* address, std::uint16_t port) {
    sockaddr_in to{AF_INET, htons(port), {}, {}};
    inet_pton(AF_INET, address, &to.sin_addr);
    ::sendto(fd, "x", 1, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
}

// The source port of the next datagram on `fd`, or none within a second.
std::optional<std::uint16_t> receiveFrom(int fd) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 1000) != 1) return std::nullopt;
    char b;
    sockaddr_in from{};
    socklen_t len = sizeof from;
    if (::recvfrom(fd, &b, 1, 0, reinterpret_cast<sockaddr*>(&from), &len) != 1)
        return std::nullopt;
    return ntohs(from.sin_port);
}

// The lab itself: each side's STUN answer shows its own NAT's public address; a stranger's
// datagram neither gets in nor leaves a trace that would move the port of a flow opened later
// from inside; the answer to that flow does get in.
TEST_F(SlowTwoNATs, EachSideSeesItsNatsAddressAndStrangersStayOut) {
    auto fromHost = discoverFrom(host);
    ASSERT_TRUE(fromHost) << coturn->output();
    EXPECT_EQ(fromHost->reflexive.host, "11.0.0.1");
    auto fromViewer = discoverFrom(viewer);
    ASSERT_TRUE(fromViewer) << coturn->output();
    EXPECT_EQ(fromViewer->reflexive.host, "12.0.0.1");

    int inside = lab->inNamespace(viewer, [] { return udpSocket("0.0.0.0", 41000); });
    int outside = lab->inNamespace(inet, [] { return udpSocket("11.0.0.2", 40001); });
    sendTo(outside, "12.0.0.1", 41000);
    EXPECT_EQ(receiveFrom(inside), std::nullopt);
    sendTo(inside, "11.0.0.2", 40001);
    EXPECT_EQ(receiveFrom(outside), 41000);
    sendTo(outside, "12.0.0.1", 41000);
    EXPECT_EQ(receiveFrom(inside), 40001);
    ::close(inside);
    ::close(outside);
}

// ---- The real host and orvane-peer across both NATs ----

class SlowTwoNATsHost : public SlowTwoNATs {
protected:
    std::unique_ptr<HostHome> home;
    std::string code = AccessCode::generate();
    std::unique_ptr<ViewerPeer> device;
    HostHome::Running running;

    void SetUp() override {
        SlowTwoNATs::SetUp();
        if (IsSkipped()) return;
        for (const auto& b : {HostHome::hostBinary, HostHome::peerBinary})
            if (!std::filesystem::exists(b)) GTEST_SKIP() << "not built: " << b;
        home = std::make_unique<HostHome>();
        ASSERT_TRUE(Keychain::set(code, "host.accessCode", "com.nimbrel.kelsap", false, {},
                                  home->keychain()));
        device = std::make_unique<ViewerPeer>(home->dir(), "Far Laptop");
        TrustedDevice::save(home->settings(),
                            {{device->fingerprint(), device->name(), ClientPlatform::mac}});
        home->settings().setBool("unattendedAccess", true);
        home->settings().setString("natStunServer",
                                   std::string(stunAddress) + ":" + std::to_string(stunPort));
        ASSERT_TRUE(discoverFrom(host)) << coturn->output();  // coturn is up
    }

    void startHost(bool holePunch) {
        home->settings().setBool("natHolePunch", holePunch);
        running = lab->inNamespace(host, [&] { return home->start(); });
        ASSERT_NE(running.port, 0) << running.process->output();
    }

    // The owner's other device and the viewer share the host's home: one account, one store.
    std::vector<std::string> inHome(std::vector<std::string> args) const {
        const std::string d = home->dir().string();
        std::vector<std::string> argv = {"/usr/bin/env",
                                         "HOME=" + d,
                                         "XDG_CONFIG_HOME=" + d + "/config",
                                         "XDG_DATA_HOME=" + d + "/data",
                                         "XDG_STATE_HOME=" + d + "/state",
                                         HostHome::peerBinary};
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    }

    // The machine's record once `pred` holds for it.
    std::optional<nlohmann::json> mac(std::function<bool(const nlohmann::json&)> pred,
                                      std::chrono::seconds timeout = 20s) {
        std::optional<nlohmann::json> found;
        eventually(
            [&] {
                auto [status, out] = ChildProcess::run(inHome({"cloud", "macs"}), "", 20s);
                std::istringstream lines(out);
                for (std::string l; std::getline(lines, l);) {
                    auto j = nlohmann::json::parse(l, nullptr, false);
                    if (j.is_object() && j.contains("id") && pred(j)) found = j;
                }
                return found.has_value();
            },
            timeout);
        return found;
    }

    // orvane-peer connect --mac ID --hole-punch from the viewer's namespace: exit status and
    // output.
    std::pair<std::optional<int>, std::string> connect(const std::string& macID,
                                                       const std::string& withCode) {
        auto script = home->dir() / "punch-script.txt";
        std::ofstream(script) << "forbid bye\nexpect helloAck 20\nsend ping hex:0102\n"
                                 "expect pong\nbye\n";
        auto argv =
            inHome({"connect", "--mac", macID, "--hole-punch", "--stun",
                    std::string(stunAddress) + ":" + std::to_string(stunPort), "--code", withCode,
                    "--name", device->name(), "--keychain", device->keychain().string(), "--script",
                    script.string(), "--timeout", "20"});
        return lab->inNamespace(viewer, [&] { return ChildProcess::run(argv, "", 60s); });
    }

    std::string history() const { return readFile(home->historyFile()); }
};

TEST_F(SlowTwoNATsHost, APunchedPathMeetsTheHost) {
    startHost(true);
    auto record = mac([](const nlohmann::json& m) { return m["natHost"] == "11.0.0.1"; });
    ASSERT_TRUE(record) << running.process->output();

    auto [status, out] = connect((*record)["id"], code);
    ASSERT_EQ(status, 0) << out << "\n--- host:\n" << running.process->output();
    EXPECT_NE(out.find(R"("event":"holePunch","ready":true)"), std::string::npos) << out;
    EXPECT_NE(out.find(R"(quic","event":"raceWon")"), std::string::npos) << out;
    EXPECT_EQ(ViewerPeer::messages(out, "helloAck").size(), 1u) << out;
    EXPECT_TRUE(eventually([&] {
        return history().find(R"x("route":"Internet (through NAT)")x") != std::string::npos;
    })) << history();
}

TEST_F(SlowTwoNATsHost, WithTheSwitchOffTheRaceFails) {
    startHost(false);
    auto record = mac([](const nlohmann::json&) { return true; });
    ASSERT_TRUE(record) << running.process->output();
    EXPECT_TRUE((*record)["natHost"].is_null()) << record->dump();

    auto [status, out] = connect((*record)["id"], code);
    EXPECT_EQ(status, 1) << out;
    // It dialled the machine's LAN address, which no route from here reaches.
    EXPECT_NE(out.find(R"({"candidate":"10.1.0.2:5895|*","event":"candidate"})"), std::string::npos)
        << out;
    EXPECT_NE(out.find("no way to the machine worked"), std::string::npos) << out;
    EXPECT_EQ(ViewerPeer::messages(out, "helloAck").size(), 0u) << out;
}

TEST_F(SlowTwoNATsHost, AWrongCodeIsOneTryToConnect) {
    startHost(true);
    auto record = mac([](const nlohmann::json& m) { return m["natHost"] == "11.0.0.1"; });
    ASSERT_TRUE(record) << running.process->output();

    std::string wrong = AccessCode::generate();
    auto [status, out] = connect((*record)["id"], wrong);
    EXPECT_EQ(status, 2) << out << "\n--- host:\n" << running.process->output();
    ASSERT_TRUE(eventually([&] {
        return history().find(R"("kind":"wrongCode")") != std::string::npos;
    })) << history();
    std::this_thread::sleep_for(500ms);
    auto text = history();
    auto first = text.find(R"("kind":"wrongCode")");
    EXPECT_EQ(text.find(R"("kind":"wrongCode")", first + 1), std::string::npos) << text;
}

}  // namespace
}  // namespace orvane
