// Reaching the machine inside network namespaces: its own addresses against the kernel's list, a
// NAT-PMP gateway (miniupnpd over nft, masquerading a "lan" onto a "wan"), STUN answers from
// coturn, wake-on-LAN broadcasts seen by tcpdump, and the host's pairing link end to end. Each
// test builds its own lab and the lab removes it on any exit.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <asio/io_context.hpp>
#include <condition_variable>
#include <fstream>
#include <regex>
#include <set>
#include <thread>

#include "OrvaneKit/base/NetContext.h"
#include "OrvaneKit/base/TimerService.h"
#include "OrvaneKit/net/testing/FreePort.h"
#include "OrvaneKit/protocol/Json.h"
#include "OrvaneKit/reach/STUN.h"
#include "OrvaneKit/reach/WakeOnLAN.h"
#include "OrvaneKit/security/AccessCode.h"
#include "OrvaneKit/security/Keychain.h"
#include "Orvane_Host/reach/LocalAddresses.h"
#include "Orvane_Host/reach/PortMapper.h"
#include "Orvane_Host/reach/natpmp/NatPmpBackend.h"
#include "Orvane_Host/session/TrustedDevice.h"
#include "tests/support/HostHome.h"
#include "tests/support/NetLab.h"
#include "tests/support/ViewerPeer.h"

namespace orvane {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

bool eventually(const std::function<bool()>& pred, std::chrono::milliseconds limit = 10s) {
    for (auto until = Clock::now() + limit; Clock::now() < until; std::this_thread::sleep_for(50ms))
        if (pred()) return true;
    return pred();
}

#define SKIP_WITHOUT(...) \
    if (auto why = NetLab::unavailable({__VA_ARGS__})) GTEST_SKIP() << *why

// ---- Addresses ----

bool globalUnicast(const std::string& v6) {
    in6_addr a{};
    return inet_pton(AF_INET6, v6.c_str(), &a) == 1 && (a.s6_addr[0] & 0xE0) == 0x20;
}

TEST(SlowReachAddresses, EqualTheKernelsListAfterTheFilter) {
    SKIP_WITHOUT();
    NetLab lab;
    auto a = lab.addNamespace("a"), b = lab.addNamespace("b");
    lab.link(a, "en0", b, "p0");
    lab.link(a, "en1", b, "p1");
    lab.link(a, "wg0", b, "p2");
    lab.sh(a,
           "ip addr add 10.1.0.2/24 dev en0 && ip addr add 2001:db8::5/64 dev en0 nodad && "
           "ip addr add fd00::5/64 dev en0 nodad && ip addr add fe80::1234/64 dev en0 nodad && "
           "ip addr add 10.2.0.2/24 dev en1 && ip addr add 2001:db8::5/64 dev en1 nodad && "
           "ip addr add 2001:db8:2::7/64 dev en1 nodad && "
           "ip addr add 10.3.0.2/24 dev wg0 && ip addr add 2001:db8:3::5/64 dev wg0 nodad");

    auto ours = lab.inNamespace(a, [] { return LocalAddresses().localAddresses(); });

    auto listed = json::parse(lab.sh(a, "ip -j address"));
    ASSERT_TRUE(listed && listed->is_array());
    std::set<std::string> v4, v6;
    for (const auto& link : *listed) {
        auto flags = link.value("flags", json::Value::array());
        bool up = std::find(flags.begin(), flags.end(), "UP") != flags.end();
        bool loopback = std::find(flags.begin(), flags.end(), "LOOPBACK") != flags.end();
        std::string name = link.value("ifname", "");
        bool skipped = false;
        for (const auto& p : skippedInterfacePrefixes) skipped = skipped || name.starts_with(p);
        if (!up || loopback || skipped) continue;
        for (const auto& addr : link.value("addr_info", json::Value::array())) {
            std::string local = addr.value("local", "");
            if (addr.value("family", "") == "inet") v4.insert(local);
            if (addr.value("family", "") == "inet6" && globalUnicast(local)) v6.insert(local);
        }
    }
    EXPECT_EQ(ours.ipv4, std::vector<std::string>(v4.begin(), v4.end()));
    EXPECT_EQ(ours.ipv6, std::vector<std::string>(v6.begin(), v6.end()));
    EXPECT_EQ(ours.ipv4, (std::vector<std::string>{"10.1.0.2", "10.2.0.2"}));
    EXPECT_EQ(ours.ipv6, (std::vector<std::string>{"2001:db8:2::7", "2001:db8::5"}));
}

// ---- The gateway ----

// lan (10.10.0.2) — gw (10.10.0.1 | 11.0.0.1, masquerade, miniupnpd speaking NAT-PMP only) —
// wan (11.0.0.2). The WAN side stays out of the ranges miniupnpd refuses as private.
class SlowReachGateway : public ::testing::Test {
protected:
    std::unique_ptr<NetLab> lab;
    std::string lan, gw, wan;
    std::unique_ptr<ChildProcess> miniupnpd;

    void SetUp() override {
        SKIP_WITHOUT("nft", "miniupnpd", "natpmpc");
        lab = std::make_unique<NetLab>();
        lan = lab->addNamespace("lan");
        gw = lab->addNamespace("gw");
        wan = lab->addNamespace("wan");
        lab->link(lan, "lan0", gw, "gwlan");
        lab->link(gw, "gwwan", wan, "wan0");
        lab->sh(lan, "ip addr add 10.10.0.2/24 dev lan0 && ip route add default via 10.10.0.1");
        lab->sh(gw,
                "ip addr add 10.10.0.1/24 dev gwlan && ip addr add 11.0.0.1/24 dev gwwan && "
                "sysctl -qw net.ipv4.ip_forward=1");
        lab->sh(wan, "ip addr add 11.0.0.2/24 dev wan0");
        std::ofstream(lab->dir() / "gw.nft") << R"(table inet miniupnpd {
  chain forward { type filter hook forward priority 0; policy accept; jump forward_miniupnpd; }
  chain forward_miniupnpd { }
  chain prerouting { type nat hook prerouting priority -100; policy accept;
                     jump prerouting_miniupnpd; }
  chain postrouting { type nat hook postrouting priority 100; policy accept;
                      jump postrouting_miniupnpd; oifname "gwwan" masquerade; }
  chain prerouting_miniupnpd { }
  chain postrouting_miniupnpd { }
}
)";
        lab->sh(gw, "nft -f " + (lab->dir() / "gw.nft").string());
        std::ofstream(lab->dir() / "miniupnpd.conf") << R"(ext_ifname=gwwan
listening_ip=gwlan
enable_natpmp=yes
enable_upnp=no
secure_mode=no
min_lifetime=1
upnp_table_name=miniupnpd
upnp_nat_table_name=miniupnpd
upnp_forward_chain=forward_miniupnpd
upnp_nat_chain=prerouting_miniupnpd
upnp_nat_postrouting_chain=postrouting_miniupnpd
uuid=3d3cec3a-8cf0-11e0-98ee-001a6bd2d07b
allow 1024-65535 10.10.0.0/24 1024-65535
deny 0-65535 0.0.0.0/0 0-65535
)";
        startGateway();
        // The set-up itself: the gateway answers with its WAN address.
        ASSERT_TRUE(eventually([&] {
            return lab->trySh(lan, "natpmpc -g 10.10.0.1")
                       .second.find("Public IP address : 11.0.0.1") != std::string::npos;
        }));
    }

    void startGateway() {
        miniupnpd =
            lab->spawn(gw, {"miniupnpd", "-d", "-f", (lab->dir() / "miniupnpd.conf").string(), "-P",
                            (lab->dir() / "miniupnpd.pid").string()});
        ASSERT_TRUE(miniupnpd->waitForOutput("Listening for NAT-PMP", 10s)) << miniupnpd->output();
    }

    bool gatewayForwards(std::uint16_t port) {
        return lab->sh(gw, "nft list ruleset")
                   .find("dnat ip to 10.10.0.2:" + std::to_string(port)) != std::string::npos;
    }

    // A TCP connection from wan to the gateway's WAN address arrives at a listener in lan.
    bool wanReachesLan(std::uint16_t port) {
        int listener = lab->inNamespace(lan, [&] {
            int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            int on = 1;
            ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
            sockaddr_in a{AF_INET, htons(port), {INADDR_ANY}, {}};
            if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
                ::listen(fd, 1) != 0) {
                ::close(fd);
                return -1;
            }
            return fd;
        });
        if (listener < 0) return false;
        int dialled = lab->inNamespace(wan, [&] {
            int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in a{AF_INET, htons(port), {}, {}};
            inet_pton(AF_INET, "11.0.0.1", &a.sin_addr);
            ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
            return fd;
        });
        pollfd p{listener, POLLIN, 0};
        bool arrived = ::poll(&p, 1, 5000) == 1;
        ::close(dialled);
        ::close(listener);
        return arrived;
    }
};

struct Replies {
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<std::optional<PortMapping>> values;
    void add(std::optional<PortMapping> m) {
        std::lock_guard lock(mutex);
        values.push_back(std::move(m));
        cv.notify_all();
    }
    bool waitFor(std::size_t n, std::chrono::seconds limit = 10s) {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, limit, [&] { return values.size() >= n; });
    }
};

TEST_F(SlowReachGateway, MapsTheSessionPortAndRemovesTheMappingOnStop) {
    NetContext net(1);
    AsioTimerService timers(net.context());
    NatPmpBackend backend(net.makeStrand("orvane.portmap"), timers, {"10.10.0.1"});
    PortMapper mapper(backend);
    Replies replies;
    mapper.setOnChange([&](const std::optional<PortMapping>& m) { replies.add(m); });
    lab->inNamespace(lan, [&] { mapper.map(5895); });  // the socket is lan's
    ASSERT_TRUE(replies.waitFor(1));
    EXPECT_EQ(replies.values[0], (PortMapping{"11.0.0.1", 5895}));
    EXPECT_TRUE(gatewayForwards(5895)) << lab->sh(gw, "nft list ruleset");
    EXPECT_TRUE(wanReachesLan(5895));

    mapper.stop();
    EXPECT_TRUE(eventually([&] { return !gatewayForwards(5895); }))
        << lab->sh(gw, "nft list ruleset");
}

TEST_F(SlowReachGateway, ARestartedGatewayMapsAgainAtTheNextRenewal) {
    NetContext net(1);
    AsioTimerService timers(net.context());
    NatPmpBackend backend(net.makeStrand("orvane.portmap"), timers, {"10.10.0.1"});
    Replies replies;
    // Two seconds granted: a renewal every second.
    int started = lab->inNamespace(lan, [&] {
        return backend.start(5896, 5896, 2, [&](const PortMappingReply& r) {
            replies.add(PortMapper::mappingOf(r));
        });
    });
    ASSERT_EQ(started, 0);
    ASSERT_TRUE(replies.waitFor(1));
    ASSERT_EQ(replies.values[0], (PortMapping{"11.0.0.1", 5896}));

    miniupnpd.reset();  // killed: its rules may stay, so clear them as a fresh start would
    lab->sh(gw,
            "nft flush chain inet miniupnpd prerouting_miniupnpd && "
            "nft flush chain inet miniupnpd forward_miniupnpd");
    ASSERT_FALSE(gatewayForwards(5896));
    startGateway();
    EXPECT_TRUE(eventually([&] { return gatewayForwards(5896); }, 8s))
        << lab->sh(gw, "nft list ruleset");
    backend.cancel();
    EXPECT_TRUE(eventually([&] { return !gatewayForwards(5896); }));
}

// ---- STUN ----

std::optional<STUNDiscovery> discoverFrom(const HostPort& server) {
    asio::io_context io;
    std::optional<STUNDiscovery> found;
    STUNClient::discover(io.get_executor(), server, 4s,
                         [&](std::optional<STUNDiscovery> r) { found = std::move(r); });
    io.run();
    return found;
}

TEST(InteropCoturn, AnswersWithOurLoopbackAddressAndPort) {
    if (::system("command -v turnserver >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "turnserver (coturn) is not installed (scripts/install-deps.sh)";
    auto port = freeUdpPort();
    ChildProcess server(stunOnlyCoturn("127.0.0.1", port));
    std::optional<STUNDiscovery> found;
    // The server takes a moment to listen; a closed port answers at once.
    ASSERT_TRUE(eventually([&] {
        return (found = discoverFrom({"127.0.0.1", port})).has_value();
    })) << server.output();
    EXPECT_EQ(found->reflexive.host, "127.0.0.1");
    EXPECT_EQ(found->reflexive.port, found->localPort);
    EXPECT_NE(found->localPort, 0);
}

TEST_F(SlowReachGateway, StunFromLanSeesTheGatewaysWanAddress) {
    if (::system("command -v turnserver >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "turnserver (coturn) is not installed (scripts/install-deps.sh)";
    auto server = lab->spawn(wan, stunOnlyCoturn("11.0.0.2", 3478));
    std::optional<STUNDiscovery> found;
    ASSERT_TRUE(eventually([&] {
        found = lab->inNamespace(lan, [] { return discoverFrom({"11.0.0.2", 3478}); });
        return found.has_value();
    })) << server->output();
    EXPECT_EQ(found->reflexive.host, "11.0.0.1");
    EXPECT_NE(found->localPort, 0);
}

// ---- Wake-on-LAN ----

TEST(SlowReachWakeOnLAN, SixDatagramsReachTheBroadcastAddress) {
    SKIP_WITHOUT("tcpdump");
    NetLab lab;
    auto sender = lab.addNamespace("s"), receiver = lab.addNamespace("r");
    lab.link(sender, "wol0", receiver, "wol1");
    lab.sh(sender, "ip addr add 10.20.0.1/24 dev wol0 && ip route add default via 10.20.0.2");
    lab.sh(receiver, "ip addr add 10.20.0.2/24 dev wol1");
    auto capture = lab.spawn(receiver, {"tcpdump", "-i", "wol1", "-n", "-l", "-c", "6", "udp"});
    ASSERT_TRUE(capture->waitForOutput("listening on", 10s)) << capture->output();
    lab.inNamespace(sender, [] { WakeOnLAN::send("02:00:5e:10:20:30"); });
    ASSERT_TRUE(capture->waitExit(10s)) << capture->output();

    std::regex line(R"(> 255\.255\.255\.255\.(\d+): UDP, length (\d+))");
    std::vector<std::string> ports;
    std::string out = capture->output();
    for (std::sregex_iterator m(out.begin(), out.end(), line), end; m != end; ++m) {
        EXPECT_EQ((*m)[2], "102");
        ports.push_back((*m)[1]);
    }
    EXPECT_EQ(ports, (std::vector<std::string>{"9", "9", "9", "7", "7", "7"})) << out;
}

// ---- End to end ----

TEST_F(SlowReachGateway, HostBehindTheGatewayPrintsALinkThatReachesIt) {
    for (const auto& b : {HostHome::hostBinary, HostHome::peerBinary})
        if (!std::filesystem::exists(b)) GTEST_SKIP() << "not built: " << b;
    HostHome home;
    std::string code = AccessCode::generate();
    ASSERT_TRUE(
        Keychain::set(code, "host.accessCode", "com.nimbrel.kelsap", false, {}, home.keychain()));
    ViewerPeer viewer(home.dir(), "Far Laptop");
    TrustedDevice::save(home.settings(),
                        {{viewer.fingerprint(), viewer.name(), ClientPlatform::mac}});
    home.settings().setBool("unattendedAccess", true);

    HostHome::Options options;
    options.args = {"--port", "5895"};
    auto host = lab->inNamespace(lan, [&] { return home.start(options); });
    ASSERT_EQ(host.port, 5895) << host.process->output();

    std::smatch m;
    std::regex mapped(R"(Pairing link: (\S*ext=\S+))");
    ASSERT_TRUE(eventually([&] {
        std::string out = host.process->output();
        return std::regex_search(out, m, mapped);
    })) << host.process->output();
    std::string link = m[1];
    auto [status, parsed] =
        ChildProcess::run({HostHome::peerBinary, "pair", "parse", link}, "", 10s);
    ASSERT_EQ(status, 0) << parsed;
    auto info = json::parse(parsed.substr(0, parsed.find('\n')));
    ASSERT_TRUE(info) << parsed;
    EXPECT_EQ((*info)["externalHost"], "11.0.0.1");
    EXPECT_EQ((*info)["externalPort"], 5895);
    EXPECT_EQ((*info)["host"], "10.10.0.2");
    EXPECT_EQ((*info)["code"], code);
    EXPECT_EQ((*info)["reach"], "bestEffortInternet");

    auto far = lab->inNamespace(wan, [&] {
        return viewer.connect(5895, code, "forbid bye\nexpect helloAck 20\nbye\n",
                              {"--host", "11.0.0.1"});
    });
    EXPECT_EQ(far->waitExit(30s), 0) << far->output();
    EXPECT_EQ(ViewerPeer::messages(far->output(), "helloAck").size(), 1u) << far->output();

    ASSERT_EQ(::kill(host.pid, SIGTERM), 0);
    EXPECT_TRUE(host.process->waitExit(30s).has_value());
    EXPECT_FALSE(gatewayForwards(5895)) << lab->sh(gw, "nft list ruleset");
}

TEST(SlowReachNoGateway, TheHostLogsThatPortMappingIsUnavailableOnce) {
    SKIP_WITHOUT();
    if (!std::filesystem::exists(HostHome::hostBinary))
        GTEST_SKIP() << "not built: " << HostHome::hostBinary;
    NetLab lab;
    auto alone = lab.addNamespace("alone");  // loopback only: no default route
    HostHome home;
    auto host = lab.inNamespace(alone, [&] { return home.start(); });
    ASSERT_NE(host.port, 0) << host.process->output();
    ASSERT_TRUE(host.process->waitForOutput("port mapping unavailable (", 10s))
        << host.process->output();
    std::this_thread::sleep_for(500ms);
    std::string out = host.process->output();
    auto first = out.find("port mapping unavailable (");
    EXPECT_EQ(out.find("port mapping unavailable (", first + 1), std::string::npos) << out;
    EXPECT_NE(out.find("Pairing link: kelsap://pair?"), std::string::npos) << out;
}

}  // namespace
}  // namespace orvane
