// OrvaneConnection over real loopback TCP with TLS, and against OpenSSL's s_client.
#include <gtest/gtest.h>

#include <condition_variable>

#include "OrvaneKit/net/TlsPskListener.h"
#include "OrvaneKit/net/testing/ChildProcess.h"
#include "OrvaneKit/protocol/OrvaneConnection.h"
#include "OrvaneKit/protocol/testing/ConnectionProbe.h"
#include "OrvaneKit/security/AccessCode.h"
#include "OrvaneKit/security/testing/FakeIdentity.h"

namespace orvane {
namespace {

using namespace std::chrono_literals;

constexpr const char* code = "ABC-DEF-GHJ-KLM";

// A listener on an ephemeral loopback port that wraps every accepted transport in a
// server-role connection, probes it and starts it.
struct HostHarness {
    FakeIdentity hostId{Bytes(32, 0x22), systemRandom(), "com.nimbrel.kelsap.host"};
    FakeIdentity viewerId{Bytes(32, 0x11), systemRandom(), "com.nimbrel.kelsap.viewer"};
    NetContext net{3};
    std::shared_ptr<TlsPskListener> listener;
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<std::shared_ptr<OrvaneConnection>> hosts;
    std::vector<std::unique_ptr<ConnectionProbe>> probes;
    std::uint16_t port = 0;

    HostHarness() {
        TlsPskListener::Options o;
        o.port = 0;
        o.bindAddress = "127.0.0.1";
        o.params = AccessCode::pskParameters(code, true);
        listener = TlsPskListener::make(net, o);
        listener->setStateHandler([this](const ConnState& s) {
            std::lock_guard lock(mutex);
            if (holds_alternative<conn::Ready>(s)) port = listener->port();
            cv.notify_all();
        });
        listener->setNewConnectionHandler([this](std::shared_ptr<Transport> t) {
            auto host = OrvaneConnection::makeServer(std::move(t), code, {&hostId.identity()});
            auto probe = std::make_unique<ConnectionProbe>(host);
            host->start();
            std::lock_guard lock(mutex);
            hosts.push_back(std::move(host));
            probes.push_back(std::move(probe));
            cv.notify_all();
        });
        listener->start();
        std::unique_lock lock(mutex);
        cv.wait_for(lock, 10s, [&] { return port != 0; });
    }
    ~HostHarness() {
        listener->cancel();
        {
            std::lock_guard lock(mutex);
            for (auto& h : hosts) h->cancel();
        }
        net.stop();
    }
    // The i-th accepted connection and its probe, once accepted.
    std::pair<std::shared_ptr<OrvaneConnection>, ConnectionProbe*> accepted(std::size_t i) {
        std::unique_lock lock(mutex);
        if (!cv.wait_for(lock, 20s, [&] { return hosts.size() > i; })) return {};
        return {hosts[i], probes[i].get()};
    }
    std::shared_ptr<OrvaneConnection> dial(const std::string& withCode) {
        return OrvaneConnection::makeClient(HostPort{"127.0.0.1", port}, withCode, std::nullopt,
                                            std::nullopt, {&viewerId.identity(), nullptr, &net});
    }
};

TEST(NetOrvaneConnection, LoopbackTlsCarriesEveryCatalogueCodeBothWays) {
    HostHarness h;
    ASSERT_NE(h.port, 0);
    auto viewer = h.dial(code);
    viewer->setExpectedPeerFingerprint(h.hostId.identity().fingerprint());
    ConnectionProbe viewerProbe(viewer);
    viewer->start();
    ASSERT_TRUE(viewerProbe.waitForReady());
    auto [host, hostProbe] = h.accepted(0);
    ASSERT_TRUE(host);
    ASSERT_TRUE(hostProbe->waitForReady());
    EXPECT_EQ(host->peerFingerprint(), h.viewerId.identity().fingerprint());
    EXPECT_EQ(host->remoteHost(), "127.0.0.1");
    EXPECT_EQ(host->route(), ConnectionRoute::localNetwork);
    EXPECT_EQ(viewer->route(), ConnectionRoute::localNetwork);
    EXPECT_FALSE(viewer->holePunched());

    std::vector<std::pair<MessageType, Bytes>> sent;
    for (MessageType t : allMessageTypes) {
        if (isHandshake(t)) continue;
        Bytes body = toBytes("body of " + std::string(messageTypeName(t)));
        sent.emplace_back(t, body);
        viewer->send(t, body);
        host->send(t, body);
    }
    ASSERT_TRUE(hostProbe->waitForMessages(sent.size()));
    ASSERT_TRUE(viewerProbe.waitForMessages(sent.size()));
    EXPECT_EQ(hostProbe->snapshot().messages, sent);
    EXPECT_EQ(viewerProbe.snapshot().messages, sent);

    viewer->cancel();
    ASSERT_TRUE(hostProbe->waitForCancelled());
    EXPECT_FALSE(hostProbe->snapshot().has(conn::Failed{}));
}

TEST(NetOrvaneConnection, WrongCodeIsATlsFailureAtBothEnds) {
    HostHarness h;
    auto viewer = h.dial("ABC-DEF-GHJ-KLN");
    ConnectionProbe viewerProbe(viewer);
    viewer->start();
    ASSERT_TRUE(viewerProbe.waitForKind(conn::Failed{}));
    auto viewerStates = viewerProbe.snapshot().states;
    EXPECT_TRUE(OrvaneConnection::isTLSFailure(viewerStates.back()))
        << describe(viewerStates.back());
    EXPECT_FALSE(viewer->securityFailure());
    auto [host, hostProbe] = h.accepted(0);
    ASSERT_TRUE(host);
    ASSERT_TRUE(hostProbe->waitForKind(conn::Failed{}));
    auto hostStates = hostProbe->snapshot().states;
    EXPECT_FALSE(hostProbe->snapshot().has(conn::Ready{}));
    EXPECT_TRUE(OrvaneConnection::isTLSFailure(hostStates.back())) << describe(hostStates.back());
}

// Raw frames typed into OpenSSL's client after the TLS handshake.
class InteropOrvaneConnection : public ::testing::Test {
protected:
    static std::vector<std::string> sClient(std::uint16_t port) {
        return {"openssl",
                "s_client",
                "-connect",
                "127.0.0.1:" + std::to_string(port),
                "-tls1_2",
                "-cipher",
                "PSK-AES128-GCM-SHA256",
                "-psk",
                toHex(AccessCode::pskKey(code)),
                "-psk_identity",
                "kelsap",
                "-quiet"};
    }
};

TEST_F(InteropOrvaneConnection, EmptyFinishFailsTheHandshake) {
    HostHarness h;
    ChildProcess client(sClient(h.port));
    client.writeStdin(std::string("\x00\x00\x00\x2a\x00\x00\x00\x00", 8));
    auto [host, probe] = h.accepted(0);
    ASSERT_TRUE(host);
    ASSERT_TRUE(probe->waitForCancelled());
    auto states = probe->snapshot().states;
    ASSERT_GE(states.size(), 2u);
    auto* failed = std::get_if<conn::Failed>(&states[states.size() - 2]);
    ASSERT_TRUE(failed) << describe(states[states.size() - 2]);
    EXPECT_EQ(failed->error.code, Err::auth);
    ASSERT_TRUE(host->securityFailure());
    EXPECT_EQ(host->securityFailure()->kind(), SecureChannelError::Kind::malformed);
    // The client sees the close and ends.
    EXPECT_TRUE(client.waitExit(20s).has_value()) << client.output();
}

TEST_F(InteropOrvaneConnection, HelloBeforeTheHandshakeIsDroppedAndTheConnectionStays) {
    HostHarness h;
    ChildProcess client(sClient(h.port));
    client.writeStdin(std::string("\x00\x00\x00\x01\x00\x00\x00\x02{}", 10));
    auto [host, probe] = h.accepted(0);
    ASSERT_TRUE(host);
    // A malformed handshake frame after the hello: the stream is still in step, and it is this
    // frame, not the hello, that ends the connection.
    client.writeStdin(std::string("\x00\x00\x00\x29\x00\x00\x00\x00", 8));
    ASSERT_TRUE(probe->waitForCancelled());
    ASSERT_TRUE(host->securityFailure());
    EXPECT_EQ(host->securityFailure()->kind(), SecureChannelError::Kind::outOfOrder);
    EXPECT_FALSE(probe->snapshot().has(conn::Ready{}));
}

}  // namespace
}  // namespace orvane
