// The connection race with real session connections on loopback.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <future>

#include "OrvaneKit/net/TlsPskListener.h"
#include "OrvaneKit/protocol/testing/ConnectionProbe.h"
#include "OrvaneKit/reach/Connector.h"
#include "OrvaneKit/security/AccessCode.h"
#include "OrvaneKit/security/testing/FakeIdentity.h"

namespace orvane {
namespace {

using namespace std::chrono_literals;

constexpr const char* code = "ABC-DEF-GHJ-KLM";

int tcpSocket(bool listen) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    if (listen) EXPECT_EQ(::listen(fd, 4), 0);
    return fd;
}

std::uint16_t portOf(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

struct NetConnector : ::testing::Test {
    FakeIdentity hostId{Bytes(32, 0x22), systemRandom(), "com.nimbrel.kelsap.host"};
    FakeIdentity viewerId{Bytes(32, 0x11), systemRandom(), "com.nimbrel.kelsap.viewer"};
    NetContext net{3};
    AsioTimerService timers{net.context()};
    OrvaneConnectionDialer dialer{{&viewerId.identity(), nullptr, &net}};
    Connector connector{dialer, timers, net.context().get_executor()};
    std::shared_ptr<TlsPskListener> listener;
    std::mutex mutex;
    std::vector<std::shared_ptr<OrvaneConnection>> hosts;
    std::promise<std::uint16_t> ready;

    void SetUp() override {
        TlsPskListener::Options o;
        o.port = 0;
        o.bindAddress = "127.0.0.1";
        o.params = AccessCode::pskParameters(code, true);
        listener = TlsPskListener::make(net, o);
        listener->setStateHandler([this](const ConnState& s) {
            if (holds_alternative<conn::Ready>(s)) ready.set_value(listener->port());
        });
        listener->setNewConnectionHandler([this](std::shared_ptr<Transport> t) {
            auto host = OrvaneConnection::makeServer(std::move(t), code, {&hostId.identity()});
            host->start();
            std::lock_guard lock(mutex);
            hosts.push_back(std::move(host));
        });
        listener->start();
    }
    void TearDown() override {
        listener->cancel();
        {
            std::lock_guard lock(mutex);
            for (auto& h : hosts) h->cancel();
        }
        net.stop();
    }
    ConnectOutcome race(const std::string& withCode, std::vector<ConnectCandidate> candidates) {
        std::promise<ConnectOutcome> done;
        connector.connect(
            withCode, std::nullopt, [candidates] { return candidates; }, {100, 5},
            [&](ConnectOutcome o) { done.set_value(std::move(o)); });
        auto f = done.get_future();
        EXPECT_EQ(f.wait_for(10s), std::future_status::ready);
        return f.get();
    }
};

TEST_F(NetConnector, TheHostWinsOverARefusedPortAndASilentListener) {
    std::uint16_t hostPort = ready.get_future().get();
    int refused = tcpSocket(false);
    std::uint16_t refusedPort = portOf(refused);
    ::close(refused);
    int silent = tcpSocket(true);

    auto result = race(code, {{{"127.0.0.1", refusedPort}, std::nullopt, std::nullopt},
                              {{"127.0.0.1", portOf(silent)}, std::nullopt, std::nullopt},
                              {{"127.0.0.1", hostPort}, std::nullopt, std::nullopt}});
    ASSERT_TRUE(std::holds_alternative<outcome::Ready>(result));
    auto winner = std::get<outcome::Ready>(result).attempt->connection();
    ASSERT_TRUE(winner);
    // The silent listener's connection was cancelled with the race: it reads to the end.
    int fd = ::accept(silent, nullptr, nullptr);
    ASSERT_GE(fd, 0);
    char buf[4096];
    ssize_t n = 1;
    pollfd p{fd, POLLIN, 0};
    while (n > 0 && ::poll(&p, 1, 5000) == 1) n = ::read(fd, buf, sizeof buf);
    EXPECT_EQ(n, 0);
    winner->cancel();
    ::close(fd);
    ::close(silent);
}

TEST_F(NetConnector, AnotherCodeEndsTheRaceAtOnce) {
    std::uint16_t hostPort = ready.get_future().get();
    int silent = tcpSocket(true);
    auto result =
        race("ZZZ-ZZZ-ZZZ-ZZZ", {{{"127.0.0.1", hostPort}, std::nullopt, std::nullopt},
                                 {{"127.0.0.1", portOf(silent)}, std::nullopt, std::nullopt}});
    EXPECT_TRUE(std::holds_alternative<outcome::WrongCode>(result));
    ::close(silent);
}

// A required interface binds each attempt's socket to it: loopback carries the session, an
// interface that does not exist fails the attempt with a reason that names it.
TEST_F(NetConnector, RequiredInterfaces) {
    std::uint16_t hostPort = ready.get_future().get();
    auto onLoopback = race(code, {{{"127.0.0.1", hostPort}, "lo", std::nullopt}});
    ASSERT_TRUE(std::holds_alternative<outcome::Ready>(onLoopback));
    std::get<outcome::Ready>(onLoopback).attempt->connection()->cancel();

    auto missing = race(code, {{{"127.0.0.1", hostPort}, "nosuch0", std::nullopt}});
    ASSERT_TRUE(std::holds_alternative<outcome::Failed>(missing));
    EXPECT_EQ(std::get<outcome::Failed>(missing).reason, "no network interface named \"nosuch0\"");
}

// Below the race, the dial itself refuses an interface it cannot bind to, naming it.
TEST_F(NetConnector, ADialOnAMissingInterfaceFailsNamingIt) {
    std::uint16_t hostPort = ready.get_future().get();
    auto c = OrvaneConnection::makeClient({"127.0.0.1", hostPort}, code, "nosuch0", std::nullopt,
                                          {&viewerId.identity(), nullptr, &net});
    std::promise<NetError> failed;
    std::once_flag once;
    c->setOnStateChange([&](const ConnState& s) {
        if (const NetError* e = stateError(s)) std::call_once(once, [&] { failed.set_value(*e); });
    });
    c->start();
    auto f = failed.get_future();
    ASSERT_EQ(f.wait_for(10s), std::future_status::ready);
    auto e = f.get();
    EXPECT_EQ(e.code, ENODEV);
    EXPECT_EQ(e.text, "no network interface named \"nosuch0\"");
    c->cancel();
}

}  // namespace
}  // namespace orvane
