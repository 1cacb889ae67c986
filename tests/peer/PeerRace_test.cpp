// `orvane-peer connect` racing several ways to a machine on loopback: a port that refuses, a
// listener that never answers, and the real host or a serving peer.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <asio/io_context.hpp>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "OrvaneKit/protocol/Json.h"
#include "OrvaneKit/reach/STUN.h"
#include "OrvaneKit/security/AccessCode.h"
#include "OrvaneKit/security/Keychain.h"
#include "Orvane_Host/session/TrustedDevice.h"
#include "tests/support/HostHome.h"
#include "tests/support/ViewerPeer.h"

namespace orvane {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr const char* code = "ABC-DEF-GHJ-KLM";

// A TCP socket on a free loopback port: listening (it never accepts by itself), or closed again
// so that the port refuses.
struct LoopbackPort {
    int fd = -1;
    std::uint16_t port = 0;
    explicit LoopbackPort(bool listening) {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t len = sizeof a;
        ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
        if (listening) {
            ::listen(fd, 4);
        } else {
            ::close(fd);
            fd = -1;
        }
    }
    ~LoopbackPort() {
        if (fd >= 0) ::close(fd);
    }
    // The connection that reached the listener was closed by its dialler: it reads to the end.
    bool sawAConnectionClosed() const {
        pollfd waiting{fd, POLLIN, 0};
        if (::poll(&waiting, 1, 5000) != 1) return false;
        int c = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) return false;
        char buf[4096];
        ssize_t n = 1;
        pollfd p{c, POLLIN, 0};
        while (n > 0 && ::poll(&p, 1, 5000) == 1) n = ::read(c, buf, sizeof buf);
        ::close(c);
        return n == 0;
    }
};

std::string linkTo(std::uint16_t hostPort, std::uint16_t extPort) {
    return "kelsap://pair?name=Desk&code=" + std::string(code) +
           "&port=" + std::to_string(hostPort) +
           "&host=127.0.0.1&ext=127.0.0.1:" + std::to_string(extPort);
}

std::optional<json::Value> event(const std::string& output, const std::string& name) {
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);)
        if (auto v = json::parse(std::string_view(line));
            v && v->is_object() && v->value("event", "") == name)
            return v;
    return std::nullopt;
}

TEST(NetPeerRace, TheHostWinsOverARefusedPortAndASilentListener) {
    for (const auto& b : {HostHome::hostBinary, HostHome::peerBinary})
        if (!fs::exists(b)) GTEST_SKIP() << "not built: " << b;
    HostHome home;
    ASSERT_TRUE(
        Keychain::set(code, "host.accessCode", "com.nimbrel.kelsap", false, {}, home.keychain()));
    ViewerPeer viewer(home.dir(), "Racer");
    TrustedDevice::save(home.settings(),
                        {{viewer.fingerprint(), viewer.name(), ClientPlatform::mac}});
    home.settings().setBool("unattendedAccess", true);
    auto host = home.start();
    ASSERT_NE(host.port, 0) << host.process->output();

    LoopbackPort refused(false), silent(true);
    // The link's two routes come first (the silent one first, so it is connected well before the
    // race ends), the host (--host, --port) last.
    auto peer = viewer.connect(
        host.port, code, "forbid bye\nexpect helloAck 20\nsend ping hex:0102\nexpect pong\nbye\n",
        {"--link", linkTo(silent.port, refused.port), "--stagger", "200", "--timeout", "15"});
    ASSERT_EQ(peer->waitExit(30s), 0) << peer->output();
    auto won = event(peer->output(), "raceWon");
    ASSERT_TRUE(won) << peer->output();
    EXPECT_EQ((*won)["candidate"], "127.0.0.1:" + std::to_string(host.port) + "|*");
    EXPECT_EQ(ViewerPeer::messages(peer->output(), "helloAck").size(), 1u) << peer->output();
    EXPECT_TRUE(silent.sawAConnectionClosed()) << peer->output();
}

class NetPeerRaceServe : public ::testing::Test {
protected:
    fs::path dir;
    void SetUp() override {
        if (!fs::exists(HostHome::peerBinary))
            GTEST_SKIP() << "not built: " << HostHome::peerBinary;
        dir = fs::temp_directory_path() /
              ("orvane-peer-race-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir);
    }
    void TearDown() override {
        if (!dir.empty()) fs::remove_all(dir);
    }
    // A serving peer on `serveCode`; its port and fingerprint.
    std::pair<std::unique_ptr<ChildProcess>, json::Value> serve(const std::string& serveCode) {
        auto p = std::make_unique<ChildProcess>(std::vector<std::string>{
            HostHome::peerBinary, "serve", "--bind", "127.0.0.1", "--port", "0", "--code",
            serveCode, "--keychain", (dir / "host.json").string()});
        EXPECT_TRUE(p->waitForOutput("\"listening\"", 20s)) << p->output();
        auto listening = event(p->output(), "listening").value_or(json::Value{});
        return {std::move(p), std::move(listening)};
    }
    // Races a silent listener (first) and the serving peer; exit status, output and time taken.
    struct Raced {
        std::optional<int> status;
        std::string output;
        Clock::duration took;
    };
    Raced race(std::uint16_t servePort, std::vector<std::string> extra) {
        LoopbackPort silent(true);
        std::vector<std::string> argv = {HostHome::peerBinary,
                                         "connect",
                                         "--code",
                                         code,
                                         "--keychain",
                                         (dir / "viewer.json").string(),
                                         "--link",
                                         linkTo(silent.port, servePort),
                                         "--stagger",
                                         "100",
                                         "--timeout",
                                         "20"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        auto start = Clock::now();
        auto [status, out] = ChildProcess::run(argv, "", 40s);
        return {status, out, Clock::now() - start};
    }
};

TEST_F(NetPeerRaceServe, AnotherCodeEndsTheRaceAtOnce) {
    auto [server, listening] = serve("ZZZ-ZZZ-ZZZ-ZZZ");
    auto r = race(listening["port"].get<std::uint16_t>(), {});
    EXPECT_EQ(r.status, 2) << r.output;
    EXPECT_NE(r.output.find("the access code was refused"), std::string::npos) << r.output;
    // Long before the 20 s time-out, though the silent listener never answered.
    EXPECT_LT(r.took, 10s);
}

TEST_F(NetPeerRaceServe, AnotherIdentityThanTheExpectedOneExits3) {
    auto [server, listening] = serve(code);
    const std::string pinned = "0000 0000 0000 0000 0000 0000 0000 0000";
    auto r = race(listening["port"].get<std::uint16_t>(), {"--expect-fingerprint", pinned});
    EXPECT_EQ(r.status, 3) << r.output;
    EXPECT_NE(r.output.find("expected " + pinned + ", got " +
                            listening["fingerprint"].get<std::string>()),
              std::string::npos)
        << r.output;
    EXPECT_LT(r.took, 10s);
}

// Every way is tried over each --interface: a missing interface fails its ways with a reason that
// names it, loopback carries the session.
TEST_F(NetPeerRaceServe, EachInterfaceMakesAWayOfItsOwn) {
    auto [server, listening] = serve(code);
    auto script = dir / "ping.txt";
    std::ofstream(script) << "send ping hex:01\nexpect pong\nclose\n";
    auto port = listening["port"].get<std::uint16_t>();
    auto r =
        race(port, {"--interface", "nosuch0", "--interface", "lo", "--script", script.string()});
    ASSERT_EQ(r.status, 0) << r.output;
    for (auto way : {"127.0.0.1:" + std::to_string(port) + "|nosuch0",
                     "127.0.0.1:" + std::to_string(port) + "|lo"})
        EXPECT_NE(r.output.find(R"({"candidate":")" + way + R"(","event":"candidate"})"),
                  std::string::npos)
            << r.output;
    auto won = event(r.output, "raceWon");
    ASSERT_TRUE(won) << r.output;
    EXPECT_EQ((*won)["candidate"], "127.0.0.1:" + std::to_string(port) + "|lo");
}

// The real host with the hole punch on (coturn on loopback as its STUN server): --quic to the
// UDP address it publishes is a session like any other, listed as through NAT.
TEST(SlowPeerRaceQuic, ConnectOverQuicGetsHelloAckAndPong) {
    for (const auto& b : {HostHome::hostBinary, HostHome::peerBinary})
        if (!fs::exists(b)) GTEST_SKIP() << "not built: " << b;
    if (::system("command -v turnserver >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "turnserver (coturn) is not installed (scripts/install-deps.sh)";
    HostHome home;
    LoopbackPort stunPort(false);  // a free port number (UDP and TCP share the range)
    ChildProcess stun({"turnserver", "-n", "--stun-only", "--no-cli", "--no-tls", "--no-dtls",
                       "--log-file", "stdout", "--listening-ip", "127.0.0.1", "--listening-port",
                       std::to_string(stunPort.port), "--pidfile",
                       (home.dir() / "turnserver.pid").string()});
    bool answered = false;
    for (auto until = Clock::now() + 10s; !answered && Clock::now() < until;) {
        asio::io_context io;
        STUNClient::discover(io.get_executor(), {"127.0.0.1", stunPort.port}, 500ms,
                             [&](std::optional<STUNDiscovery> d) { answered = d.has_value(); });
        io.run();
    }
    ASSERT_TRUE(answered) << stun.output();

    ASSERT_TRUE(
        Keychain::set(code, "host.accessCode", "com.nimbrel.kelsap", false, {}, home.keychain()));
    ViewerPeer viewer(home.dir(), "Quic Racer");
    TrustedDevice::save(home.settings(),
                        {{viewer.fingerprint(), viewer.name(), ClientPlatform::mac}});
    home.settings().setBool("unattendedAccess", true);
    home.settings().setBool("natHolePunch", true);
    home.settings().setString("natStunServer", "127.0.0.1:" + std::to_string(stunPort.port));
    auto host = home.start();
    ASSERT_NE(host.port, 0) << host.process->output();

    const std::string d = home.dir().string();
    std::optional<std::uint16_t> natPort;
    for (auto until = Clock::now() + 20s; !natPort && Clock::now() < until;
         std::this_thread::sleep_for(100ms)) {
        auto [status, out] =
            ChildProcess::run({"/usr/bin/env", "HOME=" + d, "XDG_CONFIG_HOME=" + d + "/config",
                               "XDG_DATA_HOME=" + d + "/data", "XDG_STATE_HOME=" + d + "/state",
                               HostHome::peerBinary, "cloud", "macs"},
                              "", 20s);
        std::istringstream lines(out);
        for (std::string l; std::getline(lines, l);)
            if (auto j = nlohmann::json::parse(l, nullptr, false);
                j.is_object() && j.contains("natPort") && j["natPort"].is_number())
                natPort = j["natPort"].get<std::uint16_t>();
    }
    ASSERT_TRUE(natPort) << host.process->output();

    // Beside it, a TCP route that refuses.
    LoopbackPort refused(false);
    auto script = home.dir() / "quic-script.txt";
    std::ofstream(script)
        << "forbid bye\nexpect helloAck 20\nsend ping hex:0A0B\nexpect pong\nbye\n";
    auto [status, out] = ChildProcess::run(
        {HostHome::peerBinary, "connect", "--code", code, "--name", viewer.name(), "--keychain",
         viewer.keychain().string(), "--host", "127.0.0.1", "--port", std::to_string(refused.port),
         "--quic", "127.0.0.1:" + std::to_string(*natPort), "--script", script.string()},
        "", 40s);
    ASSERT_EQ(status, 0) << out << "\n--- host:\n" << readFile(home.logFile());
    auto won = event(out, "raceWon");
    ASSERT_TRUE(won) << out;
    EXPECT_EQ((*won)["candidate"], "127.0.0.1:" + std::to_string(*natPort) + "|* quic");
    EXPECT_EQ((*won)["route"], "natTraversal");
    EXPECT_EQ(ViewerPeer::messages(out, "pong").size(), 1u) << out;
    bool listed = false;
    for (auto until = Clock::now() + 10s; !listed && Clock::now() < until;
         std::this_thread::sleep_for(50ms))
        listed = readFile(home.historyFile()).find("Internet (through NAT)") != std::string::npos;
    EXPECT_TRUE(listed) << readFile(home.historyFile());
}

}  // namespace
}  // namespace orvane
