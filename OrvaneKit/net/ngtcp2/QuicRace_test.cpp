// A punched-path candidate in the connection race: a session over QUIC on loopback.
#include <gtest/gtest.h>

#include <future>

#include "OrvaneKit/net/ngtcp2/QuicEndpoint.h"
#include "OrvaneKit/net/testing/FreePort.h"
#include "OrvaneKit/reach/Connector.h"
#include "OrvaneKit/security/AccessCode.h"
#include "OrvaneKit/security/testing/FakeIdentity.h"

namespace orvane {
namespace {

using namespace std::chrono_literals;

constexpr const char* code = "ABC-DEF-GHJ-KLM";

struct NetQuicRace : ::testing::Test {
    FakeIdentity hostId{Bytes(32, 0x22), systemRandom(), "com.nimbrel.kelsap.host"};
    FakeIdentity viewerId{Bytes(32, 0x11), systemRandom(), "com.nimbrel.kelsap.viewer"};
    NetContext net{3};
    AsioTimerService timers{net.context()};
    OrvaneConnectionDialer dialer{
        {&viewerId.identity(), nullptr, &net},
        [this](HostPort remote, Bytes key, std::optional<std::uint16_t> localPort,
               std::optional<std::string> interface) {
            return dialQuic(net, remote, std::move(key), localPort, {}, std::move(interface));
        }};
    Connector connector{dialer, timers, net.context().get_executor()};
    std::shared_ptr<QuicServerEndpoint> server;
    std::mutex mutex;
    std::vector<std::shared_ptr<OrvaneConnection>> hosts;
    std::optional<HostPort> seenFrom;

    void SetUp() override {
        QuicServerEndpoint::Options o;
        o.bindAddress = "127.0.0.1";
        o.key = [] { return AccessCode::pskKey(code); };
        server = QuicServerEndpoint::make(net, o);
        server->setConnectionHandler([this](std::shared_ptr<Transport> t) {
            std::lock_guard lock(mutex);
            seenFrom = t->remoteEndpoint();
            auto host =
                OrvaneConnection::makeServer(std::move(t), code, {&hostId.identity()}, true);
            host->start();
            hosts.push_back(std::move(host));
        });
        ASSERT_EQ(server->start(), std::nullopt);
    }
    void TearDown() override {
        {
            std::lock_guard lock(mutex);
            for (auto& h : hosts) h->cancel();
        }
        server->cancel();
        std::this_thread::sleep_for(50ms);
        net.stop();
    }
    ConnectOutcome race(const std::string& withCode, ConnectCandidate candidate) {
        std::promise<ConnectOutcome> done;
        connector.connect(
            withCode, std::nullopt, [candidate] { return std::vector{candidate}; }, {100, 5},
            [&](ConnectOutcome o) { done.set_value(std::move(o)); });
        auto f = done.get_future();
        EXPECT_EQ(f.wait_for(10s), std::future_status::ready);
        return f.get();
    }
};

TEST_F(NetQuicRace, APunchedCandidateCarriesASecureSessionFromItsPort) {
    std::uint16_t from = freeUdpPort();
    auto result =
        race(code, {{"127.0.0.1", server->port()}, std::nullopt, std::nullopt, QuicPath{from}});
    ASSERT_TRUE(std::holds_alternative<outcome::Ready>(result));
    auto c = std::get<outcome::Ready>(result).attempt->connection();
    ASSERT_TRUE(c);
    EXPECT_TRUE(c->holePunched());
    std::lock_guard lock(mutex);
    EXPECT_EQ(seenFrom, (HostPort{"127.0.0.1", from}));
    c->cancel();
}

TEST_F(NetQuicRace, AnotherCodeOverQuicIsAWrongCode) {
    auto result = race("ZZZ-ZZZ-ZZZ-ZZZ",
                       {{"127.0.0.1", server->port()}, std::nullopt, std::nullopt, QuicPath{}});
    EXPECT_TRUE(std::holds_alternative<outcome::WrongCode>(result));
}

// A punched path may be held to one interface too: loopback carries it, a missing interface
// fails it with a reason that names the interface, in the race and in the dial itself.
TEST_F(NetQuicRace, RequiredInterfaces) {
    auto onLoopback = race(code, {{"127.0.0.1", server->port()}, "lo", std::nullopt, QuicPath{}});
    ASSERT_TRUE(std::holds_alternative<outcome::Ready>(onLoopback))
        << (std::holds_alternative<outcome::Failed>(onLoopback)
                ? std::get<outcome::Failed>(onLoopback).reason
                : "");
    std::get<outcome::Ready>(onLoopback).attempt->connection()->cancel();

    auto missing = race(code, {{"127.0.0.1", server->port()}, "nosuch0", std::nullopt, QuicPath{}});
    ASSERT_TRUE(std::holds_alternative<outcome::Failed>(missing));
    EXPECT_EQ(std::get<outcome::Failed>(missing).reason, "no network interface named \"nosuch0\"");

    auto t = dialQuic(net, {"127.0.0.1", server->port()}, AccessCode::pskKey(code), std::nullopt,
                      {}, "nosuch0");
    std::promise<NetError> failed;
    std::once_flag once;
    t->setStateHandler([&](const ConnState& s) {
        if (const NetError* e = stateError(s)) std::call_once(once, [&] { failed.set_value(*e); });
    });
    t->start();
    auto f = failed.get_future();
    ASSERT_EQ(f.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(f.get().text, "no network interface named \"nosuch0\"");
    t->cancel();
}

}  // namespace
}  // namespace orvane
