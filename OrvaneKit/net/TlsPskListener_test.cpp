#include "OrvaneKit/net/TlsPskListener.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <future>

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

}  // namespace
}  // namespace orvane
