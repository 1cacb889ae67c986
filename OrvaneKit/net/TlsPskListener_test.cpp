#include "OrvaneKit/net/TlsPskListener.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <asio/post.hpp>
#include <functional>
#include <future>
#include <optional>
#include <thread>
#include <utility>

#include "OrvaneKit/net/TlsPskDialler.h"
#include "OrvaneKit/net/asio/TcpLink.h"
#include "OrvaneKit/net/testing/ListenerHarness.h"
#include "OrvaneKit/net/testing/TransportProbe.h"

namespace orvane {
namespace {

using namespace std::chrono_literals;

SessionParams paramsWithKey(std::uint8_t fill) {
    SessionParams p;
    p.tls.key.assign(32, fill);
    return p;
}

int sockopt(int fd, int level, int name) {
    int v = -1;
    socklen_t len = sizeof v;
    EXPECT_EQ(::getsockopt(fd, level, name, &v, &len), 0);
    return v;
}

TEST(NetTlsPskListener, DiallerAndListenerConnectWithSessionSocketOptions) {
    ListenerHarness h(paramsWithKey(7));
    ASSERT_TRUE(h.waitListener(0));
    EXPECT_TRUE(holds<conn::Ready>(h.listenerStates.at(0)));
    std::uint16_t port = h.listener->port();
    ASSERT_NE(port, 0);

    auto client = TlsPskDialler::dial(h.net, {"127.0.0.1", port}, paramsWithKey(7));
    TransportProbe probe(client);
    client->start();
    ASSERT_TRUE(probe.waitForState(holds<conn::Ready>));
    ASSERT_TRUE(h.waitAccepted(1));
    auto& server = h.probe(0);
    ASSERT_TRUE(server.waitForState(holds<conn::Ready>));

    EXPECT_EQ(probe.writeAndWait({toBytes("ping")}), std::nullopt);
    ASSERT_TRUE(server.waitForBytes(4));
    EXPECT_EQ(toString(server.snapshot().received), "ping");

    // Addresses and interface on both sides.
    auto serverSide = h.accepted.at(0);
    ASSERT_TRUE(client->remoteEndpoint());
    EXPECT_EQ(*client->remoteEndpoint(), (HostPort{"127.0.0.1", port}));
    ASSERT_TRUE(serverSide->remoteEndpoint());
    EXPECT_EQ(serverSide->remoteEndpoint()->host, "127.0.0.1");
    EXPECT_EQ(client->localInterfaceName(), "lo");
    EXPECT_EQ(serverSide->localInterfaceName(), "lo");

    // Both sockets carry the session options.
    auto* accepted = dynamic_cast<TlsPskTransport*>(serverSide.get());
    ASSERT_NE(accepted, nullptr);
    for (TlsPskTransport* t : {client.get(), accepted}) {
        auto* link = dynamic_cast<TcpLink*>(t->link().get());
        ASSERT_NE(link, nullptr);
        int fd = link->nativeHandle();
        EXPECT_EQ(sockopt(fd, IPPROTO_TCP, TCP_NODELAY), 1);
        EXPECT_EQ(sockopt(fd, SOL_SOCKET, SO_KEEPALIVE), 1);
        EXPECT_EQ(sockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE), 2);
    }

    client->cancel();
    ASSERT_TRUE(server.waitFor([](const auto& s) { return s.eof; }));
    ASSERT_TRUE(probe.waitForState(holds<conn::Cancelled>));
}

TEST(NetTlsPskListener, DualStackListenerShowsIpv4PeersAsIpv4) {
    ListenerHarness h(paramsWithKey(3), std::nullopt);
    std::uint16_t port = h.port();
    ASSERT_NE(port, 0);
    auto client = TlsPskDialler::dial(h.net, {"127.0.0.1", port}, paramsWithKey(3));
    TransportProbe probe(client);
    client->start();
    ASSERT_TRUE(probe.waitForState(holds<conn::Ready>));
    ASSERT_TRUE(h.waitAccepted(1));
    auto remote = h.accepted.at(0)->remoteEndpoint();
    ASSERT_TRUE(remote);
    EXPECT_EQ(remote->host, "127.0.0.1");  // not ::ffff:127.0.0.1
    client->cancel();
}

TEST(NetTlsPskListener, DualStackListenerKeepsIpv6PeersAsIpv6) {
    ListenerHarness h(paramsWithKey(3), std::nullopt);
    auto client = TlsPskDialler::dial(h.net, {"::1", h.port()}, paramsWithKey(3));
    TransportProbe probe(client);
    client->start();
    ASSERT_TRUE(probe.waitForState(
        [](const ConnState& s) { return holds<conn::Ready>(s) || holds<conn::Waiting>(s); }));
    if (probe.snapshot().has(conn::Waiting{})) GTEST_SKIP() << "no IPv6 loopback on this machine";
    ASSERT_TRUE(h.waitAccepted(1));
    auto remote = h.accepted.at(0)->remoteEndpoint();
    ASSERT_TRUE(remote);
    EXPECT_EQ(remote->host, "::1");
    EXPECT_EQ(client->remoteEndpoint()->host, "::1");
    client->cancel();
}

TEST(NetTlsPskListener, DroppingAReadyTransportClosesItsSocket) {
    ListenerHarness h(paramsWithKey(4));
    auto client = TlsPskDialler::dial(h.net, {"127.0.0.1", h.port()}, paramsWithKey(4));
    std::promise<void> ready;
    client->setStateHandler([&ready](const ConnState& s) {
        if (holds<conn::Ready>(s)) ready.set_value();
    });
    client->start();
    ASSERT_EQ(ready.get_future().wait_for(10s), std::future_status::ready);
    ASSERT_TRUE(h.waitAccepted(1));
    ASSERT_TRUE(h.probe(0).waitForState(holds<conn::Ready>));
    client->setStateHandler(nullptr);
    client.reset();
    // The accepting side sees the stream end: the dropped side's socket was closed.
    ASSERT_TRUE(h.probe(0).waitFor([](const auto& s) { return s.eof || s.readError; }));
}

TEST(NetTlsPskListener, WrongKeyFailsBothSidesAsTls) {
    ListenerHarness h(paramsWithKey(1));
    auto client = TlsPskDialler::dial(h.net, {"127.0.0.1", h.port()}, paramsWithKey(2));
    TransportProbe probe(client);
    client->start();
    ASSERT_TRUE(probe.waitForState(holds<conn::Failed>));
    EXPECT_TRUE(isTlsFailure(*probe.snapshot().last())) << describe(*probe.snapshot().last());
    ASSERT_TRUE(h.waitAccepted(1));
    auto& server = h.probe(0);
    ASSERT_TRUE(server.waitForState(holds<conn::Failed>));
    EXPECT_TRUE(isTlsFailure(*server.snapshot().last())) << describe(*server.snapshot().last());
    client->cancel();
    ASSERT_TRUE(probe.waitForState(holds<conn::Cancelled>));
}

TEST(NetTlsPskListener, RefusedAtAcceptIsAPosixCloseWithoutTls) {
    ListenerHarness h(paramsWithKey(1));
    h.refuse = true;
    auto client = TlsPskDialler::dial(h.net, {"127.0.0.1", h.port()}, paramsWithKey(1));
    TransportProbe probe(client);
    client->start();
    ASSERT_TRUE(probe.waitForState(holds<conn::Failed>));
    auto snap = probe.snapshot();
    const NetError* e = stateError(*snap.last());
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->kind, NetError::Kind::posix) << describe(*e);
    client->cancel();
}

TEST(NetTlsPskListener, UnreachablePortWaitsAndBusyPortFailsTheListener) {
    ListenerHarness h(paramsWithKey(1));
    std::uint16_t busy = h.port();

    // A second listener on the same port cannot bind.
    TlsPskListener::Options o;
    o.port = busy;
    o.bindAddress = "127.0.0.1";
    o.params = paramsWithKey(1);
    auto second = TlsPskListener::make(h.net, o);
    std::mutex m;
    std::condition_variable cv;
    std::vector<ConnState> states;
    second->setStateHandler([&](const ConnState& s) {
        std::lock_guard lock(m);
        states.push_back(s);
        cv.notify_all();
    });
    second->start();
    {
        std::unique_lock lock(m);
        ASSERT_TRUE(cv.wait_for(lock, 10s, [&] { return !states.empty(); }));
        ASSERT_TRUE(holds<conn::Failed>(states[0]));
        EXPECT_EQ(stateError(states[0])->code, EADDRINUSE);
    }
    second->cancel();
    second->cancel();
    {
        std::unique_lock lock(m);
        ASSERT_TRUE(cv.wait_for(lock, 10s, [&] { return states.size() >= 2; }));
    }

    // Nobody listens on a port just released.
    std::uint16_t closedPort;
    {
        asio::io_context io;
        asio::ip::tcp::acceptor a(io, {asio::ip::make_address("127.0.0.1"), 0});
        closedPort = a.local_endpoint().port();
    }
    auto client = TlsPskDialler::dial(h.net, {"127.0.0.1", closedPort}, paramsWithKey(1));
    TransportProbe probe(client);
    client->start();
    ASSERT_TRUE(probe.waitForState(holds<conn::Waiting>));
    EXPECT_EQ(stateError(*probe.snapshot().last())->code, ECONNREFUSED);
    client->cancel();
    ASSERT_TRUE(probe.waitForState(holds<conn::Cancelled>));
    std::lock_guard lock(m);
    EXPECT_EQ(states.size(), 2u);
}

// A TCP connection from `from` (any 127.x.y.z address reaches the loopback listener) that never
// sends a byte; closed when dropped.
struct SilentSocket {
    int fd = -1;
    SilentSocket(const char* from, std::uint16_t port) {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        ::inet_pton(AF_INET, from, &local.sin_addr);
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local), 0) << from;
        sockaddr_in remote{};
        remote.sin_family = AF_INET;
        remote.sin_port = htons(port);
        ::inet_pton(AF_INET, "127.0.0.1", &remote.sin_addr);
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote), 0) << from;
    }
    ~SilentSocket() {
        if (fd >= 0) ::close(fd);
    }
    SilentSocket(SilentSocket&& o) noexcept : fd(std::exchange(o.fd, -1)) {}
    // True when the host closed it: the next read sees the end or a reset.
    bool closedByPeer() const {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 5000) != 1) return false;
        char c;
        return ::recv(fd, &c, 1, 0) <= 0;
    }
};

bool eventually(const std::function<bool()>& pred) {
    for (auto until = std::chrono::steady_clock::now() + 10s;
         std::chrono::steady_clock::now() < until; std::this_thread::sleep_for(5ms))
        if (pred()) return true;
    return pred();
}

std::size_t acceptedCount(ListenerHarness& h) {
    std::lock_guard lock(h.mutex);
    return h.accepted.size();
}

TEST(NetTlsPskListener, UnfinishedHandshakesAreCappedPerAddressAndInAll) {
    struct Case {
        const char* what;
        std::size_t perAddress, total;
        std::vector<const char*> held;  // accepted and kept silent, in order
        const char* refused;            // the next one, closed before TLS
        const char* stillLetIn;         // and one that still gets through, if any
    };
    const std::vector<Case> cases = {
        {"per address", 3, 100, {"127.0.0.2", "127.0.0.2", "127.0.0.2"}, "127.0.0.2", "127.0.0.3"},
        {"in all", 100, 3, {"127.0.0.2", "127.0.0.3", "127.0.0.4"}, "127.0.0.5", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ListenerHarness h(paramsWithKey(5), "127.0.0.1", c.perAddress, c.total);
        h.refuse = false;
        const std::uint16_t port = h.port();
        std::vector<SilentSocket> sockets;
        for (const char* from : c.held) sockets.emplace_back(from, port);
        ASSERT_TRUE(eventually([&] { return acceptedCount(h) == c.held.size(); }));

        SilentSocket refused(c.refused, port);
        EXPECT_TRUE(refused.closedByPeer());
        EXPECT_EQ(h.listener->refusedCount(), 1u);
        if (c.stillLetIn) {
            SilentSocket other(c.stillLetIn, port);
            EXPECT_TRUE(eventually([&] { return acceptedCount(h) == c.held.size() + 1; }));
        }
        EXPECT_EQ(acceptedCount(h), c.held.size() + (c.stillLetIn ? 1 : 0));
        // The held ones were handed over untouched.
        for (auto& s : sockets) {
            pollfd p{s.fd, POLLIN, 0};
            EXPECT_EQ(::poll(&p, 1, 0), 0);
        }
    }
}

TEST(NetTlsPskListener, AHandshakeSlotFreesWhenTlsIsUpOrTheConnectionEnds) {
    ListenerHarness h(paramsWithKey(6), "127.0.0.1", 1, 100);
    const std::uint16_t port = h.port();

    // A peer whose TLS is up no longer counts: the next one from its address gets in.
    std::vector<std::shared_ptr<TlsPskTransport>> clients;
    std::vector<std::unique_ptr<TransportProbe>> probes;
    for (int i = 0; i < 3; ++i) {
        clients.push_back(TlsPskDialler::dial(h.net, {"127.0.0.1", port}, paramsWithKey(6)));
        probes.push_back(std::make_unique<TransportProbe>(clients.back()));
        clients.back()->start();
        ASSERT_TRUE(probes.back()->waitForState(holds<conn::Ready>)) << i;
    }

    // A silent peer holds its address's one slot until it goes; a port scan (connect and close)
    // gives its slot back at once.
    { SilentSocket scan("127.0.0.2", port); }
    ASSERT_TRUE(eventually([&] { return acceptedCount(h) == 4; }));
    ASSERT_TRUE(eventually([&] { return h.probe(3).snapshot().has(conn::Failed{}); }));
    auto silent = std::make_unique<SilentSocket>("127.0.0.2", port);
    ASSERT_TRUE(eventually([&] { return acceptedCount(h) == 5; }));
    {
        SilentSocket second("127.0.0.2", port);
        EXPECT_TRUE(second.closedByPeer());
    }
    EXPECT_EQ(h.listener->refusedCount(), 1u);
    silent.reset();
    ASSERT_TRUE(eventually([&] { return h.probe(4).snapshot().has(conn::Failed{}); }));
    SilentSocket third("127.0.0.2", port);
    EXPECT_TRUE(eventually([&] { return acceptedCount(h) == 6; }));
    EXPECT_EQ(h.listener->refusedCount(), 1u);
    for (auto& c : clients) c->cancel();
}

// A scan's connections reset before the listener took them are gone already: they reach no one
// and hold no slot, however many come while the listener is busy.
TEST(NetTlsPskListener, ConnectionsResetBeforeTheyAreTakenAreDropped) {
    ListenerHarness h(paramsWithKey(7), "127.0.0.1", 100, 2);
    const std::uint16_t port = h.port();
    std::promise<void> busy;
    std::promise<void> held;
    asio::post(h.listener->strand(), [&] {
        held.set_value();
        busy.get_future().wait();
    });
    held.get_future().wait();
    for (int i = 0; i < 5; ++i) {
        SilentSocket probe("127.0.0.2", port);
        linger reset{1, 0};
        ::setsockopt(probe.fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    }
    std::this_thread::sleep_for(100ms);
    busy.set_value();

    SilentSocket first("127.0.0.3", port), second("127.0.0.4", port);
    EXPECT_TRUE(eventually([&] { return acceptedCount(h) == 2; }));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(acceptedCount(h), 2u);
    EXPECT_EQ(h.listener->refusedCount(), 0u);
}

TEST(NetTlsPskListener, RunningOutOfDescriptorsPausesAcceptingWithoutClosingThePort) {
#ifdef ORVANE_SANITIZED
    GTEST_SKIP() << "the sanitizers' runtime needs descriptors of its own while every one is taken";
#endif
    ListenerHarness h(paramsWithKey(8));
    const std::uint16_t port = h.port();
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    // Every descriptor the lowered limit allows is taken, the last by a waiting connection.
    rlimit low = saved;
    low.rlim_cur = static_cast<rlim_t>(::dup(0)) + 32;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<int> fillers;
    for (int fd; (fd = ::dup(0)) >= 0;) fillers.push_back(fd);
    ASSERT_EQ(errno, EMFILE);
    ::close(fillers.back());
    fillers.pop_back();
    std::optional<SilentSocket> waiting;
    waiting.emplace("127.0.0.2", port);

    std::this_thread::sleep_for(300ms);
    for (int fd : fillers) ::close(fd);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
    {
        std::lock_guard lock(h.mutex);
        EXPECT_TRUE(h.accepted.empty());
        EXPECT_EQ(h.listenerStates.size(), 1u);  // ready, and never failed
    }
    // Once descriptors are free again, the connection that waited is taken, and later ones too.
    EXPECT_TRUE(eventually([&] { return acceptedCount(h) == 1; }));
    SilentSocket later("127.0.0.3", port);
    EXPECT_TRUE(eventually([&] { return acceptedCount(h) == 2; }));
}

}  // namespace
}  // namespace orvane
