#include "OrvaneKit/protocol/OrvaneConnection.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <future>
#include <limits>
#include <thread>

#include "OrvaneKit/base/Logger.h"
#include "OrvaneKit/net/testing/MemoryTransportPair.h"
#include "OrvaneKit/net/testing/TransportProbe.h"
#include "OrvaneKit/protocol/Messages.h"
#include "OrvaneKit/protocol/testing/ConnectionProbe.h"
#include "OrvaneKit/security/AccessCode.h"
#include "OrvaneKit/security/testing/FakeIdentity.h"

namespace orvane {
namespace {

constexpr const char* code = "ABC-DEF-GHJ-KLM";

Bytes seedOf(std::uint8_t b) {
    return Bytes(32, b);
}

bool failedWithAuth(const ConnState& s) {
    auto* f = std::get_if<conn::Failed>(&s);
    return f && f->error.kind == NetError::Kind::posix && f->error.code == Err::auth;
}

// Decodes every frame in bytes written by one end (plain, no TLS).
std::vector<Frame> framesOf(const Bytes& wire) {
    FrameDecoder decoder;
    decoder.setMaxPayload(maxPayloadAfterChannel);
    return decoder.feed(wire);
}

// The far end of a pair driven by hand: raw frames, and an optional handshake of its own.
struct RawPeer {
    std::shared_ptr<Transport> transport;
    TransportProbe probe;
    std::unique_ptr<SecureHandshake> handshake;
    std::shared_ptr<SecureMessageChannel> channel;

    RawPeer(std::shared_ptr<Transport> t, SecureHandshake::Role role, SecureIdentity& identity)
        : transport(t),
          probe(t),
          handshake(std::make_unique<SecureHandshake>(role, AccessCode::pskKey(code), identity)) {
        transport->start();
    }
    void send(std::uint32_t type, ByteView payload) {
        auto h = encodeHeader(type, static_cast<std::uint32_t>(payload.size()));
        transport->write({Bytes(h.begin(), h.end()), Bytes(payload.begin(), payload.end())});
    }
    void send(MessageType type, ByteView payload) { send(rawValue(type), payload); }
    void sendSealed(MessageType type, ByteView body) { send(type, channel->seal(body)); }
    std::vector<Frame> frames() { return framesOf(probe.snapshot().received); }
    bool waitFrames(std::size_t n) {
        return probe.waitFor([&](const auto& s) { return framesOf(s.received).size() >= n; });
    }
    // As a client: 40, then 42 once 41 is in.
    bool completeAsClient() {
        send(MessageType::secureClientHello, handshake->makeClientHello());
        if (!waitFrames(1)) return false;
        auto result = handshake->handleServerHello(frames().at(0).payload);
        send(MessageType::secureFinish, result.finish);
        channel = result.channel;
        return true;
    }
};

class OrvaneConnectionTest : public ::testing::Test {
protected:
    FakeIdentity hostId{seedOf(0x22), systemRandom(), "com.nimbrel.kelsap.host"};
    FakeIdentity viewerId{seedOf(0x11), systemRandom(), "com.nimbrel.kelsap.viewer"};
    // Declared after the identities: its threads stop before they go.
    NetContext net{2};

    ~OrvaneConnectionTest() override { net.stop(); }

    MemoryTransportPair makePair(MemoryTransportPair::Options o = {}) {
        return MemoryTransportPair::make(net, std::move(o));
    }
    std::shared_ptr<OrvaneConnection> server(std::shared_ptr<Transport> t) {
        return OrvaneConnection::makeServer(std::move(t), code, {&hostId.identity()});
    }
    std::shared_ptr<OrvaneConnection> client(std::shared_ptr<Transport> t) {
        return OrvaneConnection::makeClient(std::move(t), code, HostPort{"10.0.0.9", 5895}, false,
                                            {&viewerId.identity()});
    }
};

TEST_F(OrvaneConnectionTest, HandshakeThenSealedMessagesBothWays) {
    auto pair = makePair({.clientLink = {.chunkSize = 1000}, .serverLink = {.chunkSize = 7}});
    auto host = server(pair.server);
    auto viewer = client(pair.client);
    viewer->setExpectedPeerFingerprint(hostId.identity().fingerprint());
    ConnectionProbe hostProbe(host), viewerProbe(viewer);
    host->start();
    viewer->start();
    ASSERT_TRUE(hostProbe.waitForReady());
    ASSERT_TRUE(viewerProbe.waitForReady());

    // Ready is reported once, only with the channel; TLS-up is never passed on.
    EXPECT_EQ(hostProbe.snapshot().states,
              (std::vector<ConnState>{conn::Preparing{}, conn::Ready{}}));
    EXPECT_EQ(viewerProbe.snapshot().states,
              (std::vector<ConnState>{conn::Preparing{}, conn::Ready{}}));
    EXPECT_TRUE(host->isSecure());
    EXPECT_EQ(host->peerFingerprint(), viewerId.identity().fingerprint());
    EXPECT_EQ(viewer->peerFingerprint(), hostId.identity().fingerprint());
    EXPECT_FALSE(viewer->securityFailure());

    EXPECT_EQ(ConnectionProbe::sendAndWait(*viewer, MessageType::ping, toBytes("12345678")),
              std::nullopt);
    std::promise<std::optional<NetError>> byeSent;
    viewer->send(MessageType::bye, Bye{"done"},
                 [&](std::optional<NetError> e) { byeSent.set_value(e); });
    EXPECT_EQ(byeSent.get_future().get(), std::nullopt);
    // A code outside the catalogue, sealed by hand as the file sender does: opened, delivered
    // as invalid.
    {
        std::lock_guard lock(viewer->sendLock());
        ASSERT_TRUE(viewer->channel());
        viewer->sendRaw(static_cast<MessageType>(33), viewer->channel()->seal(toBytes("x")));
    }
    EXPECT_EQ(ConnectionProbe::sendAndWait(*host, MessageType::pong, toBytes("abc")), std::nullopt);

    ASSERT_TRUE(hostProbe.waitForMessages(3));
    ASSERT_TRUE(viewerProbe.waitForMessages(1));
    auto got = hostProbe.snapshot().messages;
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0], std::make_pair(MessageType::ping, toBytes("12345678")));
    EXPECT_EQ(got[1].first, MessageType::bye);
    EXPECT_EQ(decodeJSON<Bye>(got[1].second), Bye{"done"});
    EXPECT_EQ(got[2], std::make_pair(MessageType::invalid, toBytes("x")));
    EXPECT_EQ(viewerProbe.snapshot().messages.at(0),
              std::make_pair(MessageType::pong, toBytes("abc")));

    // On the wire: the 2,632-byte hello, the finish, then sealed records only.
    auto wire = framesOf(pair.clientLink->written());
    ASSERT_EQ(wire.size(), 5u);
    EXPECT_EQ(wire[0].type, MessageType::secureClientHello);
    EXPECT_EQ(wire[0].payload.size(), 2632u);
    EXPECT_EQ(wire[1].type, MessageType::secureFinish);
    EXPECT_EQ(wire[2].type, MessageType::ping);
    EXPECT_EQ(wire[2].payload.size(), 8u + SecureMessageChannel::tagSize);
    EXPECT_EQ(wire[4].code, 33u);
    EXPECT_EQ(framesOf(pair.serverLink->written()).at(0).type, MessageType::secureServerHello);
}

TEST_F(OrvaneConnectionTest, SendErrorsCompleteOnTheCallersThreadAndWriteNothing) {
    auto pair = makePair();
    auto viewer = client(pair.client);
    const auto caller = std::this_thread::get_id();

    // Before the channel: not connected. A completion that sends again must not deadlock.
    std::vector<int> codes;
    viewer->send(MessageType::ping, Bytes{1}, [&](std::optional<NetError> e) {
        EXPECT_EQ(std::this_thread::get_id(), caller);
        codes.push_back(e ? e->code : 0);
        viewer->send(MessageType::ping, Bytes{2},
                     [&](std::optional<NetError> e2) { codes.push_back(e2 ? e2->code : 0); });
    });
    // A body with no JSON form: invalid, before any lock or channel check.
    viewer->send(MessageType::hostStatus, std::numeric_limits<double>::quiet_NaN(),
                 [&](std::optional<NetError> e) { codes.push_back(e ? e->code : 0); });
    EXPECT_EQ(codes, (std::vector<int>{Err::notConnected, Err::notConnected, Err::invalid}));

    viewer->start();
    RawPeer peer(pair.server, SecureHandshake::Role::server, hostId.identity());
    ASSERT_TRUE(peer.waitFrames(1));
    drainStrand(viewer->strand());
    auto wire = framesOf(pair.clientLink->written());
    ASSERT_EQ(wire.size(), 1u);
    EXPECT_EQ(wire[0].type, MessageType::secureClientHello);
}

TEST_F(OrvaneConnectionTest, HostWaitsForTheHandshakeAndDropsEarlyMessages) {
    auto pair = makePair();
    auto host = server(pair.server);
    ConnectionProbe hostProbe(host);
    host->start();
    RawPeer peer(pair.client, SecureHandshake::Role::client, viewerId.identity());

    // A Hello before 40 is dropped unopened; the handshake still runs.
    peer.send(MessageType::hello, toBytes("{}"));
    peer.send(MessageType::secureClientHello, peer.handshake->makeClientHello());
    ASSERT_TRUE(peer.waitFrames(1));
    EXPECT_EQ(peer.frames()[0].type, MessageType::secureServerHello);
    // TLS up and the hello answered, but no channel yet: nothing beyond preparing.
    EXPECT_EQ(hostProbe.snapshot().states, std::vector<ConnState>{conn::Preparing{}});
    EXPECT_FALSE(host->isSecure());

    auto result = peer.handshake->handleServerHello(peer.frames()[0].payload);
    peer.send(MessageType::secureFinish, result.finish);
    peer.channel = result.channel;
    peer.sendSealed(MessageType::ping, toBytes("p"));
    ASSERT_TRUE(hostProbe.waitForMessages(1));
    auto snap = hostProbe.snapshot();
    EXPECT_EQ(snap.states, (std::vector<ConnState>{conn::Preparing{}, conn::Ready{}}));
    EXPECT_EQ(snap.messages,
              (std::vector<std::pair<MessageType, Bytes>>{{MessageType::ping, toBytes("p")}}));
}

TEST_F(OrvaneConnectionTest, HandshakeViolationsFailTheConnection) {
    using K = SecureChannelError::Kind;
    struct Row {
        const char* name;
        bool testServer;  // the connection under test; the raw peer plays the other role
        std::function<void(RawPeer&)> act;
        K expected;
        bool afterChannel = false;  // the owner saw ready before the failure
    };
    const std::vector<Row> rows = {
        {"server gets a server hello", true,
         [](RawPeer& p) { p.send(MessageType::secureServerHello, Bytes(10)); }, K::outOfOrder},
        {"server gets an empty finish first", true,
         [](RawPeer& p) { p.send(MessageType::secureFinish, Bytes{}); }, K::malformed},
        {"server gets a well-formed finish before any hello", true,
         [](RawPeer& p) {
             p.send(MessageType::secureFinish, SecureHandshake::encodeFields({Bytes(3), Bytes(4)}));
         },
         K::outOfOrder},
        {"server gets a hello with a bad identity key", true,
         [](RawPeer& p) {
             p.send(MessageType::secureClientHello,
                    SecureHandshake::encodeFields({Bytes(32), Bytes(5)}));
         },
         K::malformed},
        {"client gets a client hello", false,
         [](RawPeer& p) { p.send(MessageType::secureClientHello, Bytes(10)); }, K::outOfOrder},
        {"client gets a finish", false,
         [](RawPeer& p) { p.send(MessageType::secureFinish, Bytes(10)); }, K::outOfOrder},
        {"second client hello after the channel", true,
         [](RawPeer& p) {
             ASSERT_TRUE(p.completeAsClient());
             p.send(MessageType::secureClientHello, p.handshake->makeClientHello());
         },
         K::outOfOrder, true},
        {"record with an altered tag", true,
         [](RawPeer& p) {
             ASSERT_TRUE(p.completeAsClient());
             Bytes record = p.channel->seal(toBytes("hello"));
             record.back() ^= 1;
             p.send(MessageType::hello, record);
         },
         K::tampered, true},
        {"frame beyond the pre-channel cap", true,
         [](RawPeer& p) {
             auto h = encodeHeader(MessageType::hello, maxPayloadBeforeChannel + 1);
             p.transport->write({Bytes(h.begin(), h.end())});
         },
         K::malformed},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        auto pair = makePair();
        std::shared_ptr<OrvaneConnection> conn;
        std::unique_ptr<RawPeer> peer;
        if (row.testServer) {
            conn = server(pair.server);
            peer = std::make_unique<RawPeer>(pair.client, SecureHandshake::Role::client,
                                             viewerId.identity());
        } else {
            conn = client(pair.client);
            peer = std::make_unique<RawPeer>(pair.server, SecureHandshake::Role::server,
                                             hostId.identity());
        }
        ConnectionProbe probe(conn);
        auto memory = std::make_shared<MemoryLogSink>();
        Log::addSink(memory);
        conn->start();
        if (!row.testServer) ASSERT_TRUE(peer->waitFrames(1));  // the client's hello is out
        row.act(*peer);
        ASSERT_TRUE(probe.waitForCancelled());
        Log::removeSink(memory);
        // The log names the kind, which the shared text does not tell apart.
        EXPECT_TRUE(memory->contains(std::string("secure channel failed (") +
                                     SecureChannelError::kindName(row.expected) + ")"));
        auto states = probe.snapshot().states;
        std::string seen;
        for (const auto& st : states) seen += describe(st) + "; ";
        ASSERT_EQ(states.size(), row.afterChannel ? 4u : 3u) << seen;
        EXPECT_EQ(states.front(), ConnState{conn::Preparing{}});
        if (row.afterChannel) EXPECT_EQ(states[1], ConnState{conn::Ready{}});
        EXPECT_TRUE(failedWithAuth(states[states.size() - 2])) << seen;
        EXPECT_EQ(states.back(), ConnState{conn::Cancelled{}});
        ASSERT_TRUE(conn->securityFailure());
        EXPECT_EQ(conn->securityFailure()->kind(), row.expected);
        // The peer sees the connection end.
        EXPECT_TRUE(peer->probe.waitFor([](const auto& s) { return s.eof || s.readError; }));
    }
}

TEST_F(OrvaneConnectionTest, PinnedFingerprintMismatchRefusesTheHost) {
    auto pair = makePair();
    auto host = server(pair.server);
    auto viewer = client(pair.client);
    const std::string pinned = "0000 0000 0000 0000 0000 0000 0000 0000";
    viewer->setExpectedPeerFingerprint(pinned);
    ConnectionProbe hostProbe(host), viewerProbe(viewer);
    host->start();
    viewer->start();
    ASSERT_TRUE(viewerProbe.waitForCancelled());
    ASSERT_TRUE(hostProbe.waitForCancelled());

    auto states = viewerProbe.snapshot().states;
    ASSERT_EQ(states.size(), 3u);
    EXPECT_EQ(states[0], ConnState{conn::Preparing{}});
    EXPECT_TRUE(failedWithAuth(states[1])) << describe(states[1]);
    EXPECT_EQ(states[2], ConnState{conn::Cancelled{}});
    EXPECT_EQ(viewer->securityFailure(),
              SecureChannelError::identityChanged(pinned, hostId.identity().fingerprint()));
    EXPECT_FALSE(viewer->isSecure());
    EXPECT_FALSE(viewer->peerFingerprint());
    // No finish went out; the host never got a channel.
    auto wire = framesOf(pair.clientLink->written());
    ASSERT_EQ(wire.size(), 1u);
    EXPECT_EQ(wire[0].type, MessageType::secureClientHello);
    EXPECT_FALSE(hostProbe.snapshot().has(conn::Ready{}));
}

TEST_F(OrvaneConnectionTest, MessagesWithoutAHandlerStillAdvanceTheReceiveCounter) {
    auto pair = makePair();
    auto host = server(pair.server);
    auto viewer = client(pair.client);
    ConnectionProbe hostProbe(host, /*recordMessages=*/false), viewerProbe(viewer);
    host->start();
    viewer->start();
    ASSERT_TRUE(hostProbe.waitForReady());
    ASSERT_TRUE(viewerProbe.waitForReady());

    EXPECT_EQ(ConnectionProbe::sendAndWait(*viewer, MessageType::chat, toBytes("unheard")),
              std::nullopt);
    drainStrand(host->strand());
    std::promise<std::pair<MessageType, Bytes>> heard;
    host->setOnMessage([&](MessageType t, Bytes b) { heard.set_value({t, std::move(b)}); });
    EXPECT_EQ(ConnectionProbe::sendAndWait(*viewer, MessageType::ping, toBytes("heard")),
              std::nullopt);
    auto f = heard.get_future();
    ASSERT_EQ(f.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(f.get(), std::make_pair(MessageType::ping, toBytes("heard")));
    EXPECT_FALSE(host->securityFailure());
}

TEST_F(OrvaneConnectionTest, EndsOfTheConnection) {
    // The peer closes cleanly: cancelled, never failed.
    {
        auto pair = makePair();
        auto host = server(pair.server);
        auto viewer = client(pair.client);
        ConnectionProbe hostProbe(host), viewerProbe(viewer);
        host->start();
        viewer->start();
        ASSERT_TRUE(hostProbe.waitForReady());
        viewer->cancel();
        ASSERT_TRUE(hostProbe.waitForCancelled());
        EXPECT_FALSE(hostProbe.snapshot().has(conn::Failed{}));
        EXPECT_FALSE(host->securityFailure());
        ASSERT_TRUE(viewerProbe.waitForCancelled());
        // Sends after the end complete with the transport's error, never hang.
        EXPECT_TRUE(ConnectionProbe::sendAndWait(*host, MessageType::ping, Bytes{}).has_value());
    }
    // A read error passes through unchanged; the owner's cancel then reports cancelled.
    {
        auto pair = makePair();
        auto host = server(pair.server);
        auto viewer = client(pair.client);
        ConnectionProbe hostProbe(host), viewerProbe(viewer);
        host->start();
        viewer->start();
        ASSERT_TRUE(hostProbe.waitForReady());
        pair.serverLink->injectReadError(posixError(ECONNRESET, "reset"));
        ASSERT_TRUE(hostProbe.waitForKind(conn::Failed{}));
        auto states = hostProbe.snapshot().states;
        EXPECT_EQ(std::get<conn::Failed>(states.back()).error.code, ECONNRESET);
        EXPECT_FALSE(host->securityFailure());
        host->cancel();
        ASSERT_TRUE(hostProbe.waitForCancelled());
    }
    // Dropped without a cancel: the transport is closed anyway and the peer sees the end.
    {
        auto pair = makePair();
        auto host = server(pair.server);
        auto viewer = client(pair.client);
        ConnectionProbe hostProbe(host), viewerProbe(viewer);
        host->start();
        viewer->start();
        ASSERT_TRUE(hostProbe.waitForReady());
        ASSERT_TRUE(viewerProbe.waitForReady());
        viewer.reset();
        ASSERT_TRUE(hostProbe.waitForCancelled());
        EXPECT_TRUE(pair.clientLink->closed());
    }
}

TEST_F(OrvaneConnectionTest, RouteAndRemoteHost) {
    struct Row {
        std::string remote;
        bool holePunched;
        ConnectionRoute route;
        std::string host;
    };
    for (const Row& row :
         {Row{"::ffff:192.168.1.5", false, ConnectionRoute::localNetwork, "192.168.1.5"},
          Row{"::ffff:8.8.8.8", false, ConnectionRoute::internet, "8.8.8.8"},
          Row{"::1", false, ConnectionRoute::localNetwork, "::1"},
          Row{"100.64.0.1", false, ConnectionRoute::privateNetwork, "100.64.0.1"},
          Row{"8.8.8.8", true, ConnectionRoute::natTraversal, "8.8.8.8"}}) {
        SCOPED_TRACE(row.remote);
        auto pair = makePair({.serverLink = {.remote = {row.remote, 50000}}});
        auto conn = OrvaneConnection::makeClient(pair.server, code, std::nullopt, row.holePunched,
                                                 {&viewerId.identity()});
        EXPECT_EQ(conn->route(), row.route);
        EXPECT_EQ(conn->remoteHost(), row.host);
        EXPECT_EQ(conn->linkKind(), LinkKind::other);  // "mem0" is no real interface
    }
}

TEST(OrvaneConnectionHelpers, IsLocalEndpoint) {
    for (const char* host :
         {"printer.local", "localhost", "172.31.0.9", "fe80::1", "::1", "10.1.2.3", "127.0.0.1",
          "169.254.3.4", "172.16.0.1", "192.168.0.1", "fc00::1", "fd12::1", "fe80::1%eth0"})
        EXPECT_TRUE(OrvaneConnection::isLocalEndpoint(HostPort{host, 1})) << host;
    for (const char* host : {"172.32.0.1", "100.64.0.1", "studio.lan", "LOCALHOST", "8.8.8.8",
                             "2001:db8::1", "fec0::1", "printer.LOCAL"})
        EXPECT_FALSE(OrvaneConnection::isLocalEndpoint(HostPort{host, 1})) << host;
    EXPECT_TRUE(OrvaneConnection::isLocalEndpoint(ServiceEndpoint{"Mac", "_kelsap._tcp"}));
}

TEST(OrvaneConnectionHelpers, TlsFailureAndDecodeJson) {
    EXPECT_TRUE(OrvaneConnection::isTLSFailure(conn::Failed{tlsError(20, "bad record mac")}));
    EXPECT_TRUE(OrvaneConnection::isTLSFailure(conn::Waiting{tlsError(20, "bad record mac")}));
    EXPECT_FALSE(OrvaneConnection::isTLSFailure(conn::Failed{posixError(Err::auth)}));
    EXPECT_FALSE(OrvaneConnection::isTLSFailure(conn::Ready{}));
    EXPECT_EQ(decodeJSON<Bye>(toBytes(R"({"reason":"x"})")), Bye{"x"});
    EXPECT_EQ(decodeJSON<Bye>(toBytes(R"({"reason":1})")), std::nullopt);
    EXPECT_EQ(decodeJSON<Bye>(toBytes("not json")), std::nullopt);
}

// Many threads sending at once: each thread's messages arrive in its order and every record
// opens, because the record number is taken in wire order.
TEST_F(OrvaneConnectionTest, ConcurrencyEightThreadsOfSends) {
    constexpr int threads = 8, perThread = 2000;
    auto pair = makePair();
    auto host = server(pair.server);
    auto viewer = client(pair.client);
    ConnectionProbe viewerProbe(viewer);
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<int> next(threads, 0);
    int received = 0;
    bool outOfOrder = false;
    host->setOnMessage([&](MessageType, Bytes b) {
        std::lock_guard lock(mutex);
        int t = b.at(0);
        int seq = static_cast<int>(readBE32(b.data() + 1));
        if (seq != next[t]) outOfOrder = true;
        next[t] = seq + 1;
        if (++received == threads * perThread) cv.notify_all();
    });
    host->start();
    viewer->start();
    ASSERT_TRUE(viewerProbe.waitForReady());

    std::atomic<int> completed{0}, errors{0};
    std::vector<std::thread> senders;
    for (int t = 0; t < threads; ++t)
        senders.emplace_back([&, t] {
            for (int i = 0; i < perThread; ++i) {
                Bytes body(5 + static_cast<std::size_t>((i * 37 + t * 11) % 1500));
                body[0] = static_cast<std::uint8_t>(t);
                for (int k = 0; k < 4; ++k)
                    body[1 + k] = static_cast<std::uint8_t>(i >> (24 - 8 * k));
                viewer->send(MessageType::video, std::move(body), [&](std::optional<NetError> e) {
                    if (e) ++errors;
                    ++completed;
                });
            }
        });
    for (auto& s : senders) s.join();
    std::unique_lock lock(mutex);
    ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(120), [&] {
        return received == threads * perThread;
    })) << received;
    EXPECT_FALSE(outOfOrder);
    EXPECT_FALSE(host->securityFailure());
    lock.unlock();
    drainStrand(viewer->strand());
    EXPECT_EQ(errors.load(), 0);
}

}  // namespace
}  // namespace orvane
