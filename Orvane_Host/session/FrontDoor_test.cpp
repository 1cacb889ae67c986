#include <gtest/gtest.h>

#include <asio/ip/tcp.hpp>
#include <atomic>
#include <thread>

#include "OrvaneKit/net/testing/FakeServiceAdvertiser.h"
#include "OrvaneKit/net/testing/MemoryTransportPair.h"
#include "OrvaneKit/protocol/FrameDecoder.h"
#include "OrvaneKit/security/AccessCode.h"
#include "OrvaneKit/security/testing/FakeIdentity.h"
#include "Orvane_Host/session/EndpointText.h"
#include "Orvane_Host/session/SecureSessionConnection.h"
#include "Orvane_Host/session/TlsSessionListenerFactory.h"
#include "Orvane_Host/session/testing/FakeListenerFactory.h"
#include "Orvane_Host/session/testing/HostHarness.h"
#include "Orvane_Host/session/testing/SettleClients.h"
#include "Orvane_Host/session/testing/StubTransport.h"

using namespace orvane;
using namespace std::chrono_literals;

namespace {

constexpr const char* code = "ABC-DEF-GHJ-KLM";
constexpr const char* blockedTitle = "Blocked repeated wrong codes";
constexpr const char* blockedBody =
    "A device kept entering the wrong access code, so Orvane blocked it for 15 minutes.";

Bytes seed(std::uint8_t b) {
    return Bytes(32, b);
}

struct FrontDoorTest : ::testing::Test {
    HostHarness h;
    NetContext net{2};
    FakeListenerFactory listeners;
    FakeServiceAdvertiser advertiser;
    FakeIdentity identity{seed(7)};
    std::shared_ptr<HostController> host;

    void SetUp() override {
        host = h.make();
        host->setAccessCode(code);
        host->setFrontDoor({listeners, advertiser, {&identity.identity(), nullptr, &net}, [] {
                                return std::string("Test Machine");
                            }});
    }
    void TearDown() override { closeAndSettle(host, h); }
    // Runs the main actor until `pred` holds, letting the network threads work in between.
};

}  // namespace

TEST(HostEndpointText, HostWithoutPort) {
    struct Case {
        std::string host, want;
    } cases[] = {
        {"192.168.1.20", "192.168.1.20"}, {"::ffff:192.168.1.20", "192.168.1.20"},
        {"::FFFF:10.0.0.1", "10.0.0.1"},  {"[fe80::1%eth0]", "fe80::1%eth0"},
        {"2001:db8::5", "2001:db8::5"},   {"::ffff:nothost", "::ffff:nothost"},
        {"mac.local", "mac.local"},
    };
    for (const auto& c : cases) EXPECT_EQ(endpointText(HostPort{c.host, 50123}), c.want) << c.host;
    EXPECT_EQ(endpointText(std::optional<HostPort>{}), "");
}

TEST_F(FrontDoorTest, ListenerStatesAndRestartAfterFailure) {
    host->frontDoor().start();
    auto first = listeners.last();
    ASSERT_TRUE(first);
    EXPECT_TRUE(first->started);
    EXPECT_EQ(first->requestedPort, 5895);
    EXPECT_TRUE(first->params.allowLocalEndpointReuse);
    EXPECT_EQ(first->params.tls.key, AccessCode::pskKey(code));
    EXPECT_EQ(host->listenerState(), "Starting\u2026");

    first->emitReady();
    h.rt.drain();
    EXPECT_EQ(host->listenerState(), "Ready on port 5895");
    ASSERT_TRUE(advertiser.published());
    EXPECT_EQ(advertiser.published()->name, "Test Machine");
    EXPECT_EQ(advertiser.published()->type, "_kelsap._tcp");
    EXPECT_EQ(advertiser.published()->port, 5895);

    // Fails twice in a row: one restart per failure, each a second later.
    for (int round = 0; round < 2; ++round) {
        auto before = listeners.made.size();
        listeners.last()->emitFailed(posixError(98, "Address already in use"));
        h.rt.drain();
        EXPECT_EQ(host->listenerState(), "Error: Address already in use");
        h.rt.advance(999ms);
        EXPECT_EQ(listeners.made.size(), before);
        h.rt.advance(1ms);
        ASSERT_EQ(listeners.made.size(), before + 1);
        EXPECT_TRUE(listeners.made[before - 1]->cancelled);
        EXPECT_TRUE(listeners.last()->started);
    }
    listeners.last()->emitReady();
    h.rt.drain();
    EXPECT_EQ(host->listenerState(), "Ready on port 5895");
    // Same name and port: the registration is asked for again and stays as it was.
    std::vector<std::string> want(2, "advertise Test Machine _kelsap._tcp 5895");
    EXPECT_EQ(advertiser.calls(), want);
}

// A working listener keeps its socket when the code changes: the port never closes and nobody
// waiting to be accepted is dropped. One that is not working is replaced.
TEST_F(FrontDoorTest, RestartKeepsAWorkingSocketAndFollowsTheSupportCode) {
    host->frontDoor().start();
    auto first = listeners.last();
    first->emitReady();
    h.rt.drain();

    host->setSupportCode("SUP-POR-TCO-DE2");
    host->frontDoor().start();
    EXPECT_FALSE(first->cancelled);
    EXPECT_EQ(listeners.made.size(), 1u);
    EXPECT_EQ(first->rekeys, 1);
    EXPECT_EQ(first->params.tls.key, AccessCode::pskKey("SUP-POR-TCO-DE2"));
    EXPECT_EQ(host->listenerState(), "Ready on port 5895");

    // Failed: a new listener with the current code, and the old one's late reports are ignored.
    first->emitFailed(posixError(5, "Input/output error"));
    h.rt.drain();
    h.rt.advance(1s);
    ASSERT_EQ(listeners.made.size(), 2u);
    auto old = listeners.made[0];
    EXPECT_TRUE(old->cancelled);
    EXPECT_EQ(listeners.last()->params.tls.key, AccessCode::pskKey("SUP-POR-TCO-DE2"));
    listeners.last()->emitReady();
    old->emitFailed(posixError(5, "Input/output error"));
    h.rt.drain();
    h.rt.advance(2s);
    EXPECT_EQ(host->listenerState(), "Ready on port 5895");
    EXPECT_EQ(listeners.made.size(), 2u);
}

TEST_F(FrontDoorTest, ListenerThatCannotBeMadeShowsTheError) {
    listeners.failNextMake = PlatformError("tls", 1, "no PSK suite");
    host->frontDoor().start();
    EXPECT_EQ(host->listenerState(), "Error: no PSK suite");
    EXPECT_EQ(host->listener(), nullptr);
}

TEST_F(FrontDoorTest, FifthWrongCodeBlocksAndLaterConnectionIsRefusedBeforeTls) {
    host->frontDoor().start();
    for (int i = 0; i < 5; ++i) {
        host->frontDoor().noteWrongCode("192.168.1.50");
        h.rt.advance(4s);  // apart enough to be separate history entries
    }
    h.rt.drain();
    EXPECT_EQ(h.wrongCodeEntries(), 5u);
    ASSERT_EQ(h.notifier.posted().size(), 1u);
    EXPECT_EQ(h.notifier.posted()[0].title, blockedTitle);
    EXPECT_EQ(h.notifier.posted()[0].body, blockedBody);

    // Another source port of the same machine, arriving on a dual-stack socket.
    auto t = std::make_shared<StubTransport>(net, "::ffff:192.168.1.50", 61000);
    listeners.last()->emitConnection(t);
    h.rt.drain();
    EXPECT_EQ(t->cancels, 1);
    EXPECT_EQ(t->starts, 0);
    EXPECT_TRUE(host->clients().empty());
    EXPECT_EQ(h.wrongCodeEntries(), 5u);
    EXPECT_EQ(h.notifier.posted().size(), 1u);

    // The block ends after 15 minutes.
    h.rt.advance(900s);
    auto later = std::make_shared<StubTransport>(net, "192.168.1.50", 61001);
    listeners.last()->emitConnection(later);
    h.rt.drain();
    EXPECT_EQ(later->starts, 1);
    EXPECT_EQ(host->clients().size(), 1u);
}

TEST_F(FrontDoorTest, AcceptedConnectionWithoutHelloEndsAfterTenSeconds) {
    host->frontDoor().start();
    auto t = std::make_shared<StubTransport>(net, "10.0.0.9", 50000);
    listeners.last()->emitConnection(t);
    h.rt.drain();
    ASSERT_EQ(host->clients().size(), 1u);
    EXPECT_EQ(host->clients()[0]->address, "10.0.0.9");
    EXPECT_EQ(t->starts, 1);
    EXPECT_EQ(h.streams.lastTargets.size(), 1u);

    h.rt.advance(9999ms);
    EXPECT_EQ(host->clients().size(), 1u);
    h.rt.advance(1ms);
    EXPECT_TRUE(host->clients().empty());
    EXPECT_GE(t->cancels, 1);
    EXPECT_TRUE(h.history->entries().empty());
    EXPECT_TRUE(h.notifier.posted().empty());
}

TEST_F(FrontDoorTest, StreamsStoppedSetsTheBanner) {
    host->setIsStreaming(true);
    host->onStreamsStopped(std::string("capture lost"));
    h.rt.drain();
    EXPECT_FALSE(host->isStreaming());
    EXPECT_EQ(host->lastError(), "capture lost");
    host->onStreamsStopped(std::nullopt);
    h.rt.drain();
    EXPECT_FALSE(host->lastError());
}

// A connection whose peer fails is counted once, however many reports follow, and the listener
// is left alone: a peer without the code must not be able to make it restart.
TEST_F(FrontDoorTest, WrongCodeCountsOncePerConnection) {
    enum class How { otherTlsKey, brokenHandshake };
    for (How how : {How::otherTlsKey, How::brokenHandshake}) {
        SCOPED_TRACE(static_cast<int>(how));
        h.rt.advance(1h);  // forget the previous round's failure
        host->frontDoor().start();
        auto made = listeners.made.size();
        MemoryTransportPair::Options o;
        if (how == How::otherTlsKey) {
            o.serverTls = AccessCode::pskTLSOptions(code);
            o.clientTls = AccessCode::pskTLSOptions("ZZZ-ZZZ-ZZZ-ZZZ");
        }
        o.serverLink.remote = {"172.16.0.4", 40000};
        auto pair = MemoryTransportPair::make(net, o);
        auto entriesBefore = h.wrongCodeEntries();
        listeners.last()->emitConnection(pair.server);
        h.rt.drain();
        ASSERT_EQ(host->clients().size(), 1u);
        pair.client->start();
        if (how == How::brokenHandshake) {
            auto header = encodeHeader(MessageType::secureClientHello, 4);
            Bytes frame(header.begin(), header.end());
            frame.insert(frame.end(), {1, 2, 3, 4});
            pair.client->write({frame});
        }
        ASSERT_TRUE(h.pumpUntil([&] { return host->clients().empty(); }));
        // Let any further reports of the dead connection arrive.
        for (int i = 0; i < 20; ++i) h.pumpUntil([] { return false; }, 5ms);
        EXPECT_EQ(h.wrongCodeEntries(), entriesBefore + 1);
        EXPECT_EQ(host->bruteForce().attempts.at("172.16.0.4").size(), 1u);
        EXPECT_EQ(listeners.made.size(), made);
        EXPECT_EQ(listeners.last()->rekeys, 0);
        pair.client->cancel();
    }
}

// The real listener on loopback: a port held by another socket shows the error and is retried
// every second until it is free.
TEST(NetHostListener, RecoversFromATakenPort) {
    HostHarness h;
    NetContext net{2};
    TlsSessionListenerFactory factory(net, "127.0.0.1");
    FakeServiceAdvertiser advertiser;
    FakeIdentity identity{seed(9)};

    asio::io_context io;
    auto holder = std::make_unique<asio::ip::tcp::acceptor>(
        io, asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    std::uint16_t port = holder->local_endpoint().port();

    auto host = h.make();
    host->setAccessCode(code);
    host->setFrontDoor({factory,
                        advertiser,
                        {&identity.identity(), nullptr, &net},
                        [] { return std::string("Loop"); },
                        port});
    host->frontDoor().start();
    ASSERT_TRUE(h.pumpUntil([&] { return host->listenerState().rfind("Error: ", 0) == 0; }))
        << host->listenerState();
    EXPECT_EQ(host->listenerState(), "Error: Address already in use");
    // Still taken at the retry: the error shows again (the text is cleared to see it).
    host->setListenerState("");
    h.rt.advance(1s);
    ASSERT_TRUE(
        h.pumpUntil([&] { return host->listenerState() == "Error: Address already in use"; }));

    holder.reset();
    h.rt.advance(1s);
    ASSERT_TRUE(h.pumpUntil([&] {
        return host->listenerState() == "Ready on port " + std::to_string(port);
    })) << host->listenerState();

    // A real client with the right code is accepted and listed under its address.
    auto client = OrvaneConnection::makeClient(HostPort{"127.0.0.1", port}, code, std::nullopt,
                                               std::nullopt, {&identity.identity(), nullptr, &net});
    client->start();
    ASSERT_TRUE(h.pumpUntil([&] { return host->clients().size() == 1; }));
    EXPECT_EQ(host->clients()[0]->address, "127.0.0.1");
    client->cancel();
    ASSERT_TRUE(h.pumpUntil([&] { return host->clients().empty(); }));
    closeAndSettle(host, h);
    std::weak_ptr<Transport> dialled = client->connection();
    client.reset();
    ASSERT_TRUE(h.pumpUntil([&] { return dialled.expired(); }));
}
