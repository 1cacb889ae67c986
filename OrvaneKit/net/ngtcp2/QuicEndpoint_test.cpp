#include "OrvaneKit/net/ngtcp2/QuicEndpoint.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

#include "OrvaneKit/net/testing/TransportProbe.h"

namespace orvane {
namespace {

using namespace std::chrono_literals;

Bytes keyOf(std::uint8_t fill) {
    return Bytes(32, fill);
}

// A server endpoint on loopback that starts every connection (unless told to drop it) and keeps
// probes on them. Its key can be changed between handshakes.
struct QuicHarness {
    NetContext net{3};
    std::shared_ptr<QuicServerEndpoint> server;
    std::mutex mutex;
    std::condition_variable cv;
    Bytes key;
    std::vector<std::shared_ptr<Transport>> accepted;
    std::vector<std::unique_ptr<TransportProbe>> probes;
    std::atomic<bool> drop{false};
    std::atomic<int> offered{0};

    explicit QuicHarness(Bytes k, QuicSettings settings = {}) : key(std::move(k)) {
        QuicServerEndpoint::Options o;
        o.bindAddress = "127.0.0.1";
        o.settings = settings;
        o.key = [this] {
            std::lock_guard lock(mutex);
            return key;
        };
        server = QuicServerEndpoint::make(net, o);
        server->setConnectionHandler([this](std::shared_ptr<Transport> t) {
            ++offered;
            if (drop) return;
            auto probe = std::make_unique<TransportProbe>(t);
            t->start();
            std::lock_guard lock(mutex);
            accepted.push_back(t);
            probes.push_back(std::move(probe));
            cv.notify_all();
        });
        EXPECT_EQ(server->start(), std::nullopt);
    }
    ~QuicHarness() {
        for (auto& t : accepted) t->cancel();
        server->cancel();
        std::this_thread::sleep_for(50ms);
        net.stop();
    }
    void setKey(Bytes k) {
        std::lock_guard lock(mutex);
        key = std::move(k);
    }
    bool waitAccepted(std::size_t n) {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, 10s, [&] { return accepted.size() >= n; });
    }
    TransportProbe& probe(std::size_t i) {
        std::lock_guard lock(mutex);
        return *probes.at(i);
    }
    HostPort address() const { return {"127.0.0.1", server->port()}; }
};

int udpSocket(std::uint16_t port = 0) {
    int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    return fd;
}

std::uint16_t boundPort(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

void sendTo(int fd, std::uint16_t port, Bytes data) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::sendto(fd, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
}

TEST(NetQuic, ManyClientsShareOnePortAndPunchDatagramsAreIgnored) {
    QuicHarness h(keyOf(7));
    int junk = udpSocket();
    for (int i = 0; i < 5; ++i) sendTo(junk, h.server->port(), {0x09});

    std::vector<std::shared_ptr<Transport>> clients;
    std::vector<std::unique_ptr<TransportProbe>> probes;
    for (int i = 0; i < 3; ++i) {
        clients.push_back(dialQuic(h.net, h.address(), keyOf(7)));
        probes.push_back(std::make_unique<TransportProbe>(clients.back()));
        clients.back()->start();
    }
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(probes[i]->waitForState(holds<conn::Ready>)) << i;
        EXPECT_EQ(probes[i]->writeAndWait({toBytes("hello "), toBytes(std::to_string(i))}),
                  std::nullopt);
        for (int j = 0; j < 3; ++j) sendTo(junk, h.server->port(), {0x09});
    }
    ASSERT_TRUE(h.waitAccepted(3));
    std::set<std::string> got;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(h.probe(i).waitForBytes(7));
        got.insert(toString(h.probe(i).snapshot().received));
        // Replies reach the right client.
        EXPECT_EQ(h.probe(i).writeAndWait({h.probe(i).snapshot().received}), std::nullopt);
    }
    EXPECT_EQ(got, (std::set<std::string>{"hello 0", "hello 1", "hello 2"}));
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(probes[i]->waitForBytes(7));
        EXPECT_EQ(toString(probes[i]->snapshot().received), "hello " + std::to_string(i));
    }
    EXPECT_EQ(h.offered.load(), 3);
    for (auto& c : clients) c->cancel();
    ::close(junk);
}

TEST(NetQuic, ClientBoundToAPortSendsFromIt) {
    QuicHarness h(keyOf(7));
    int probeFd = udpSocket();
    std::uint16_t port = boundPort(probeFd);
    ::close(probeFd);

    auto client = dialQuic(h.net, h.address(), keyOf(7), port);
    TransportProbe probe(client);
    client->start();
    ASSERT_TRUE(probe.waitForState(holds<conn::Ready>));
    ASSERT_TRUE(h.waitAccepted(1));
    ASSERT_TRUE(h.accepted[0]->remoteEndpoint());
    EXPECT_EQ(*h.accepted[0]->remoteEndpoint(), (HostPort{"127.0.0.1", port}));
    client->cancel();
}

// The key is read at each handshake: a code changed while the endpoint runs takes effect for
// the next viewer, and the old one fails as a TLS failure at both ends.
TEST(NetQuic, WrongKeyFailsInTlsAtBothEndsAndTheKeyFollowsChanges) {
    QuicHarness h(keyOf(1));
    struct Row {
        std::uint8_t serverKey;
        std::uint8_t clientKey;
        bool ok;
    };
    const Row rows[] = {{1, 1, true}, {1, 2, false}, {2, 1, false}, {2, 2, true}};
    std::size_t accepted = 0;
    for (const auto& row : rows) {
        h.setKey(keyOf(row.serverKey));
        auto client = dialQuic(h.net, h.address(), keyOf(row.clientKey));
        TransportProbe probe(client);
        client->start();
        ASSERT_TRUE(h.waitAccepted(++accepted));
        auto& server = h.probe(accepted - 1);
        if (row.ok) {
            EXPECT_TRUE(probe.waitForState(holds<conn::Ready>));
            EXPECT_TRUE(server.waitForState(holds<conn::Ready>));
        } else {
            ASSERT_TRUE(probe.waitForState(holds<conn::Failed>, 5s));
            EXPECT_TRUE(isTlsFailure(*probe.snapshot().last()))
                << describe(*probe.snapshot().last());
            EXPECT_EQ(stateError(*probe.snapshot().last())->code, 47);
            ASSERT_TRUE(server.waitForState(holds<conn::Failed>, 5s));
            EXPECT_TRUE(isTlsFailure(*server.snapshot().last()))
                << describe(*server.snapshot().last());
            EXPECT_FALSE(probe.snapshot().has(conn::Ready{}));
        }
        client->cancel();
    }
}

// Between a client and the server; drops the server's first `lose` datagrams.
struct LossyRelay {
    int toClient = udpSocket();
    int toServer = udpSocket();
    std::atomic<bool> stop{false};
    std::thread thread;

    LossyRelay(std::uint16_t serverPort, int lose) {
        thread = std::thread([this, serverPort, lose] {
            sockaddr_in client{};
            socklen_t clientLen = 0;
            int lost = 0;
            std::uint8_t buf[2048];
            while (!stop) {
                pollfd fds[2] = {{toClient, POLLIN, 0}, {toServer, POLLIN, 0}};
                if (::poll(fds, 2, 20) <= 0) continue;
                if (fds[0].revents & POLLIN) {
                    clientLen = sizeof client;
                    auto n = ::recvfrom(toClient, buf, sizeof buf, 0,
                                        reinterpret_cast<sockaddr*>(&client), &clientLen);
                    if (n > 0) sendTo(toServer, serverPort, Bytes(buf, buf + n));
                }
                if (fds[1].revents & POLLIN) {
                    auto n = ::recv(toServer, buf, sizeof buf, 0);
                    if (n > 0 && lost++ >= lose && clientLen)
                        ::sendto(toClient, buf, static_cast<std::size_t>(n), 0,
                                 reinterpret_cast<sockaddr*>(&client), clientLen);
                }
            }
        });
    }
    ~LossyRelay() {
        stop = true;
        thread.join();
        ::close(toClient);
        ::close(toServer);
    }
    std::uint16_t port() const { return boundPort(toClient); }
};

// The close that tells a viewer its code is wrong may be lost: the server answers the
// retransmission with it again, so the viewer still learns it holds a wrong code.
TEST(NetQuic, ALostCloseIsRepeatedToTheRetransmission) {
    QuicSettings s;
    s.handshakeTimeout = 8s;
    QuicHarness h(keyOf(1), s);
    LossyRelay relay(h.server->port(), 1);
    auto client = dialQuic(h.net, {"127.0.0.1", relay.port()}, keyOf(2), std::nullopt, s);
    TransportProbe probe(client);
    client->start();
    ASSERT_TRUE(probe.waitForState(holds<conn::Failed>, 6s));
    EXPECT_TRUE(isTlsFailure(*probe.snapshot().last())) << describe(*probe.snapshot().last());
    client->cancel();
}

TEST(NetQuic, ConnectionDroppedBeforeStartGetsNoAnswer) {
    QuicSettings quick;
    quick.handshakeTimeout = 1500ms;
    QuicHarness h(keyOf(1), quick);
    h.drop = true;
    auto client = dialQuic(h.net, h.address(), keyOf(1), std::nullopt, quick);
    TransportProbe probe(client);
    client->start();
    ASSERT_TRUE(probe.waitForState(holds<conn::Waiting>, 5s));
    EXPECT_FALSE(isTlsFailure(*probe.snapshot().last()));
    // Retransmitted Initials of the refused connection are not offered again.
    EXPECT_EQ(h.offered.load(), 1);
    client->cancel();
}

TEST(NetQuic, KeepAliveOutlivesTheIdleTimeOut) {
    QuicSettings s;
    s.idleTimeout = 600ms;
    s.keepAlive = 150ms;
    QuicHarness h(keyOf(3), s);
    auto client = dialQuic(h.net, h.address(), keyOf(3), std::nullopt, s);
    TransportProbe probe(client);
    client->start();
    ASSERT_TRUE(probe.waitForState(holds<conn::Ready>));
    ASSERT_TRUE(h.waitAccepted(1));
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(probe.writeAndWait({toBytes("still here")}), std::nullopt);
    ASSERT_TRUE(h.probe(0).waitForBytes(10));
    EXPECT_FALSE(probe.snapshot().has(conn::Failed{posixError(ETIMEDOUT, "QUIC connection idle")}));
    client->cancel();
}

TEST(NetQuic, CancelEndsThePeersStream) {
    QuicHarness h(keyOf(3));
    auto client = dialQuic(h.net, h.address(), keyOf(3));
    TransportProbe probe(client);
    client->start();
    ASSERT_TRUE(probe.waitForState(holds<conn::Ready>));
    EXPECT_EQ(probe.writeAndWait({toBytes("x")}), std::nullopt);
    ASSERT_TRUE(h.waitAccepted(1));
    ASSERT_TRUE(h.probe(0).waitForBytes(1));
    client->cancel();
    EXPECT_TRUE(h.probe(0).waitFor([](const auto& s) { return s.eof; }, 5s));
    EXPECT_TRUE(probe.waitForState(holds<conn::Cancelled>));
}

TEST(SlowQuic, FiftyMegabytesWithoutAStall) {
    QuicHarness h(keyOf(5));
    auto client = dialQuic(h.net, h.address(), keyOf(5));
    TransportProbe probe(client);
    client->start();
    ASSERT_TRUE(probe.waitForState(holds<conn::Ready>));
    constexpr std::size_t chunk = 1 << 20, count = 50;
    std::atomic<std::size_t> done{0};
    for (std::size_t i = 0; i < count; ++i) {
        Bytes b(chunk, static_cast<std::uint8_t>(i));
        client->write({std::move(b)}, [&](std::optional<NetError> e) {
            EXPECT_EQ(e, std::nullopt);
            ++done;
        });
    }
    ASSERT_TRUE(h.waitAccepted(1));
    ASSERT_TRUE(h.probe(0).waitForBytes(chunk * count, 60s))
        << h.probe(0).snapshot().received.size();
    auto got = h.probe(0).snapshot().received;
    for (std::size_t i = 0; i < count; ++i)
        ASSERT_EQ(got[i * chunk + chunk / 2], static_cast<std::uint8_t>(i)) << i;
    EXPECT_EQ(done.load(), count);
    client->cancel();
}

}  // namespace
}  // namespace orvane
