#include "OrvaneKit/net/TlsPskTransport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <asio/post.hpp>
#include <future>
#include <thread>

#include "OrvaneKit/net/testing/MemoryTransportPair.h"
#include "OrvaneKit/net/testing/TransportProbe.h"

namespace orvane {
namespace {

using namespace std::chrono_literals;

TlsPskConfig configWithKey(std::uint8_t fill) {
    TlsPskConfig c;
    c.key.assign(32, fill);
    return c;
}

MemoryTransportPair tlsPair(NetContext& net, std::size_t chunk = 0, std::uint8_t clientKey = 1,
                            std::uint8_t serverKey = 1) {
    MemoryTransportPair::Options o;
    o.clientTls = configWithKey(clientKey);
    o.serverTls = configWithKey(serverKey);
    o.clientLink.chunkSize = chunk;
    o.serverLink.chunkSize = chunk;
    return MemoryTransportPair::make(net, o);
}

// Minimal TLS record walk: the handshake messages of the first flight of `wire`.
struct ClientHelloFacts {
    std::uint16_t version = 0;
    std::vector<std::uint16_t> suites;
    std::vector<std::uint16_t> extensions;
};

ClientHelloFacts parseClientHello(const Bytes& wire) {
    ClientHelloFacts f;
    // record header (5) + handshake header (4)
    EXPECT_GE(wire.size(), 9u);
    EXPECT_EQ(wire[0], 0x16);
    EXPECT_EQ(wire[5], 0x01);
    std::size_t p = 9;
    f.version = readBE16(&wire[p]);
    p += 2 + 32;
    p += 1 + wire[p];  // session id
    std::uint16_t suitesLen = readBE16(&wire[p]);
    p += 2;
    for (std::size_t i = 0; i < suitesLen; i += 2) f.suites.push_back(readBE16(&wire[p + i]));
    p += suitesLen;
    p += 1 + wire[p];  // compression
    std::uint16_t extLen = readBE16(&wire[p]);
    p += 2;
    for (std::size_t end = p + extLen; p + 4 <= end;) {
        f.extensions.push_back(readBE16(&wire[p]));
        p += 4 + readBE16(&wire[p + 2]);
    }
    return f;
}

bool contains(const Bytes& hay, std::string_view needle) {
    return std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
}

TEST(TlsPskTransport, HandshakeAndDataOverMemoryPipeAtAnyChunking) {
    NetContext net(2);
    for (std::size_t chunk : {std::size_t{0}, std::size_t{1}, std::size_t{7}}) {
        SCOPED_TRACE(chunk);
        auto pair = tlsPair(net, chunk);
        TransportProbe client(pair.client), server(pair.server);
        pair.server->start();
        pair.client->start();
        ASSERT_TRUE(client.waitForState(holds<conn::Ready>));
        ASSERT_TRUE(server.waitForState(holds<conn::Ready>));

        // A header and its payload are one write; both arrive whole and in order.
        EXPECT_EQ(client.writeAndWait({toBytes("HEAD"), toBytes("payload-1")}), std::nullopt);
        EXPECT_EQ(client.writeAndWait({toBytes("HEAD"), Bytes(40000, 0x5a)}), std::nullopt);
        EXPECT_EQ(server.writeAndWait({toBytes("back")}), std::nullopt);
        ASSERT_TRUE(server.waitForBytes(13 + 4 + 40000));
        ASSERT_TRUE(client.waitForBytes(4));
        Bytes expect = toBytes("HEADpayload-1HEAD");
        expect.insert(expect.end(), 40000, 0x5a);
        EXPECT_EQ(server.snapshot().received, expect);
        EXPECT_EQ(toString(client.snapshot().received), "back");

        auto states = client.snapshot().states;
        ASSERT_EQ(states.size(), 2u);
        EXPECT_TRUE(holds<conn::Preparing>(states[0]));

        pair.client->cancel();
        pair.server->cancel();
        ASSERT_TRUE(client.waitForState(holds<conn::Cancelled>));
        ASSERT_TRUE(server.waitForState(holds<conn::Cancelled>));
    }
}

TEST(TlsPskTransport, WireShowsOnlyTls12TheOneSuiteTheIdentityAndNoTicket) {
    NetContext net(2);
    auto pair = tlsPair(net);
    TransportProbe client(pair.client), server(pair.server);
    pair.server->start();
    pair.client->start();
    ASSERT_TRUE(client.waitForState(holds<conn::Ready>));
    ASSERT_TRUE(server.waitForState(holds<conn::Ready>));

    Bytes clientWire = pair.clientLink->written();
    auto hello = parseClientHello(clientWire);
    EXPECT_EQ(hello.version, 0x0303);
    std::vector<std::uint16_t> suites;
    for (auto s : hello.suites)
        if (s != 0x00FF) suites.push_back(s);  // the renegotiation SCSV is not a suite
    EXPECT_EQ(suites, std::vector<std::uint16_t>{0x00A8});
    for (auto e : hello.extensions) {
        EXPECT_NE(e, 0x0023) << "session_ticket offered";
        EXPECT_NE(e, 0x002b) << "supported_versions offered (TLS 1.3)";
        EXPECT_NE(e, 0x0000) << "server_name sent";
    }
    // ClientKeyExchange: identity length 6, then the identity.
    EXPECT_TRUE(contains(clientWire, std::string_view("\x00\x06kelsap", 8)));

    Bytes serverWire = pair.serverLink->written();
    ASSERT_GE(serverWire.size(), 11u);
    EXPECT_EQ(readBE16(&serverWire[9]), 0x0303);   // ServerHello version
    EXPECT_FALSE(contains(serverWire, "kelsap"));  // no identity hint

    pair.client->cancel();
    pair.server->cancel();
}

TEST(TlsPskTransport, DifferentKeysFailBothEndsWithTlsKind) {
    NetContext net(2);
    auto pair = tlsPair(net, 0, 1, 2);
    TransportProbe client(pair.client), server(pair.server);
    pair.server->start();
    pair.client->start();
    ASSERT_TRUE(client.waitForState(holds<conn::Failed>));
    ASSERT_TRUE(server.waitForState(holds<conn::Failed>));
    for (auto* probe : {&client, &server}) {
        auto snap = probe->snapshot();
        EXPECT_FALSE(snap.has(conn::Ready{}));
        EXPECT_TRUE(isTlsFailure(*snap.last())) << describe(*snap.last());
    }
    // The transports closed their links themselves; a cancel now only reports cancelled.
    EXPECT_TRUE(pair.clientLink->closed());
    EXPECT_TRUE(pair.serverLink->closed());
    pair.server->cancel();
    ASSERT_TRUE(server.waitForState(holds<conn::Cancelled>));
    EXPECT_EQ(server.snapshot().states.size(), 3u);
}

TEST(TlsPskTransport, ProbesAndEarlyClosesArePosixNotTls) {
    NetContext net(2);
    struct Case {
        const char* name;
        std::function<void(MemoryTransportPair&)> act;
    };
    std::vector<Case> cases = {
        {"eof before any byte", [](MemoryTransportPair& p) { p.serverLink->injectEof(); }},
        {"reset before any byte",
         [](MemoryTransportPair& p) { p.serverLink->injectReadError(posixError(ECONNRESET)); }},
        {"plain-text probe",
         [](MemoryTransportPair& p) {
             p.clientLink->write(toBytes("GET / HTTP/1.1\r\nHost: x\r\n\r\n"), [](auto) {});
         }},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        MemoryTransportPair::Options o;
        o.serverTls = configWithKey(1);  // the client end stays unused: the test writes raw bytes
        auto pair = MemoryTransportPair::make(net, o);
        TransportProbe server(pair.server);
        pair.server->start();
        ASSERT_TRUE(server.waitForState(holds<conn::Preparing>));
        c.act(pair);
        ASSERT_TRUE(server.waitForState(holds<conn::Failed>));
        auto snap = server.snapshot();
        const NetError* e = stateError(*snap.last());
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(e->kind, NetError::Kind::posix) << describe(*e);
        pair.server->cancel();
    }
}

TEST(TlsPskTransport, PeerCloseIsEndOfStreamAndCancelReportsOnce) {
    NetContext net(2);
    auto pair = tlsPair(net, 3);
    TransportProbe client(pair.client), server(pair.server);
    pair.server->start();
    pair.client->start();
    ASSERT_TRUE(server.waitForState(holds<conn::Ready>));
    ASSERT_TRUE(client.waitForState(holds<conn::Ready>));
    EXPECT_EQ(client.writeAndWait({toBytes("last words")}), std::nullopt);
    pair.client->cancel();
    pair.client->cancel();
    ASSERT_TRUE(server.waitFor([](const auto& s) { return s.eof; }));
    EXPECT_EQ(toString(server.snapshot().received), "last words");
    EXPECT_FALSE(server.snapshot().has(conn::Failed{}));

    ASSERT_TRUE(client.waitForState(holds<conn::Cancelled>));
    pair.client->cancel();
    // A write after cancel completes with an error and sends nothing.
    auto err = client.writeAndWait({toBytes("late")});
    ASSERT_TRUE(err.has_value());
    EXPECT_EQ(err->code, ECANCELED);
    EXPECT_EQ(client.snapshot().cancelledCount, 1);
    pair.server->cancel();
}

TEST(TlsPskTransport, ResetAfterReadyFailsAndFailsTheRead) {
    NetContext net(2);
    auto pair = tlsPair(net);
    TransportProbe client(pair.client), server(pair.server);
    pair.server->start();
    pair.client->start();
    ASSERT_TRUE(server.waitForState(holds<conn::Ready>));
    pair.serverLink->injectReadError(posixError(ECONNRESET));
    ASSERT_TRUE(server.waitForState(holds<conn::Failed>));
    ASSERT_TRUE(server.waitFor([](const auto& s) { return s.readError.has_value(); }));
    EXPECT_EQ(server.snapshot().readError->code, ECONNRESET);
    EXPECT_FALSE(isTlsFailure(*server.snapshot().last()));
    pair.client->cancel();
    pair.server->cancel();
}

TEST(TlsPskTransport, WritesBeforeReadyWaitAndKeepTheirOrder) {
    NetContext net(2);
    auto pair = tlsPair(net, 5);
    TransportProbe client(pair.client), server(pair.server);
    std::vector<int> completed;
    std::mutex m;
    for (int i = 0; i < 5; ++i)
        pair.client->write({toBytes(std::to_string(i))}, [&, i](std::optional<NetError> e) {
            EXPECT_FALSE(e);
            std::lock_guard lock(m);
            completed.push_back(i);
        });
    pair.server->start();
    pair.client->start();
    ASSERT_TRUE(server.waitForBytes(5));
    EXPECT_EQ(toString(server.snapshot().received), "01234");
    ASSERT_TRUE(client.waitFor([&](const auto&) {
        std::lock_guard lock(m);
        return completed.size() == 5;
    }));
    EXPECT_EQ(completed, (std::vector<int>{0, 1, 2, 3, 4}));
    pair.client->cancel();
    pair.server->cancel();
}

TEST(TlsPskTransport, UnreachablePeerWaitsAndPendingWritesFail) {
    NetContext net(2);
    MemoryTransportPair::Options o;
    o.clientLink.openError = posixError(ECONNREFUSED);
    auto pair = MemoryTransportPair::make(net, o);
    TransportProbe client(pair.client);
    auto done = std::make_shared<std::promise<std::optional<NetError>>>();
    pair.client->write({toBytes("x")}, [done](auto e) { done->set_value(e); });
    pair.client->start();
    ASSERT_TRUE(client.waitForState(holds<conn::Waiting>));
    auto result = done->get_future();
    ASSERT_EQ(result.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(result.get()->code, ECONNREFUSED);
    pair.client->cancel();
    ASSERT_TRUE(client.waitForState(holds<conn::Cancelled>));
    auto states = client.snapshot().states;
    ASSERT_EQ(states.size(), 3u);
    EXPECT_EQ(states[1], ConnState(conn::Waiting{posixError(ECONNREFUSED)}));
}

TEST(TlsPskTransport, DroppedWithoutCancelClosesItsLink) {
    NetContext net(2);
    auto pair = tlsPair(net);
    TransportProbe server(pair.server);
    pair.server->start();
    pair.client->start();
    ASSERT_TRUE(server.waitForState(holds<conn::Ready>));
    auto link = pair.clientLink;
    pair.client.reset();
    pair.clientLink.reset();
    ASSERT_TRUE(server.waitFor([](const auto& s) { return s.eof; }));
    EXPECT_TRUE(link->closed());
    pair.server->cancel();
}

// Bytes of buffers the TLS session holds, read on the transport's strand.
std::size_t tlsBuffers(const std::shared_ptr<TlsPskTransport>& t) {
    std::promise<std::size_t> p;
    asio::post(t->strand(), [&] { p.set_value(t->tlsSession()->bufferCapacity()); });
    return p.get_future().get();
}

TEST(TlsPskTransport, LargeWritesArriveWholeAndLeaveNoLargeBuffersBehind) {
    NetContext net(2);
    auto pair = tlsPair(net);
    TransportProbe client(pair.client), server(pair.server);
    pair.server->start();
    pair.client->start();
    ASSERT_TRUE(client.waitForState(holds<conn::Ready>));
    ASSERT_TRUE(server.waitForState(holds<conn::Ready>));

    Bytes body(16 * 1024 * 1024 + 5);
    for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<std::uint8_t>(i % 251);
    EXPECT_EQ(client.writeAndWait({toBytes("HEAD"), body}), std::nullopt);
    ASSERT_TRUE(server.waitForBytes(4 + body.size(), 60s));
    Bytes want = toBytes("HEAD");
    append(want, body);
    EXPECT_TRUE(server.snapshot().received == want);

    // Sealed and opened a slice at a time: neither session kept buffers of the message's size.
    EXPECT_LT(tlsBuffers(pair.client), 1u << 20);
    EXPECT_LT(tlsBuffers(pair.server), 1u << 20);
    pair.client->cancel();
    pair.server->cancel();
}

TEST(TlsPskTransport, CancelRightAfterALargeWriteStillSendsItThenCloses) {
    NetContext net(2);
    auto pair = tlsPair(net);
    TransportProbe client(pair.client), server(pair.server);
    pair.server->start();
    pair.client->start();
    ASSERT_TRUE(client.waitForState(holds<conn::Ready>));
    ASSERT_TRUE(server.waitForState(holds<conn::Ready>));
    const Bytes body(4 * 1024 * 1024, 0x33);
    pair.client->write({body});
    pair.client->cancel();
    ASSERT_TRUE(server.waitFor([](const auto& s) { return s.eof; }, 30s));
    EXPECT_EQ(server.snapshot().received, body);
    pair.server->cancel();
}

TEST(TlsPskTransportConcurrency, WritesFromManyThreadsNeverInterleave) {
    // Small units are joined before sealing; large ones are sealed in slices, which must not let
    // another unit in between.
    for (std::size_t unit : {std::size_t{300}, std::size_t{70000}}) {
        SCOPED_TRACE(unit);
        NetContext net(3);
        auto pair = tlsPair(net, 1000);
        TransportProbe client(pair.client), server(pair.server);
        pair.server->start();
        pair.client->start();
        ASSERT_TRUE(client.waitForState(holds<conn::Ready>));
        constexpr int threads = 4, perThread = 50;
        std::vector<std::thread> writers;
        for (int t = 0; t < threads; ++t)
            writers.emplace_back([&, t] {
                for (int i = 0; i < perThread; ++i) {
                    Bytes header{static_cast<std::uint8_t>('A' + t)};
                    pair.client->write(
                        {header, Bytes(unit - 1, static_cast<std::uint8_t>('a' + t))}, {});
                }
            });
        for (auto& w : writers) w.join();
        ASSERT_TRUE(server.waitForBytes(threads * perThread * unit, 60s));
        Bytes got = server.snapshot().received;
        for (std::size_t at = 0; at < got.size(); at += unit) {
            std::uint8_t lower = got[at] - 'A' + 'a';
            for (std::size_t i = 1; i < unit; ++i) ASSERT_EQ(got[at + i], lower) << "at " << at + i;
        }
        pair.client->cancel();
        pair.server->cancel();
    }
}

}  // namespace
}  // namespace orvane
