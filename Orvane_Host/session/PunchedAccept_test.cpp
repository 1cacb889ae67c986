// The host taking connections that came in over the NAT hole punch: QUIC on loopback, the
// listener's wrong-code guard and code changes applying to them as to TCP ones.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "OrvaneKit/net/ngtcp2/QuicEndpoint.h"
#include "OrvaneKit/net/testing/TransportProbe.h"
#include "OrvaneKit/reach/ConnectionRoute.h"
#include "OrvaneKit/security/AccessCode.h"
#include "Orvane_Host/session/testing/LoopbackFrontDoor.h"
#include "Orvane_Host/session/testing/SettleClients.h"

using namespace orvane;
using namespace std::chrono_literals;

namespace {

constexpr const char* accessCode = "ABC-DEF-GHJ-KLM";
constexpr const char* supportCode = "SUP-POR-TCO-DE2";

struct NetPunchedAccept : ::testing::Test, LoopbackFrontDoor {
    std::shared_ptr<QuicServerEndpoint> punch;
    QuicSettings quick;

    void SetUp() override {
        quick.handshakeTimeout = 1500ms;
        open(accessCode, "Punched");
        ASSERT_TRUE(h.pumpUntil([&] { return host->listenerState().rfind("Ready", 0) == 0; }));
        QuicServerEndpoint::Options o;
        o.bindAddress = "127.0.0.1";
        o.key = host->currentKeySource();
        o.settings = quick;
        punch = QuicServerEndpoint::make(net, o);
        std::weak_ptr<HostController> weak = host;
        punch->setConnectionHandler([this, weak](std::shared_ptr<Transport> t) {
            h.rt.mainActor.post([weak, t] {
                if (auto hc = weak.lock())
                    hc->accept(t);
                else
                    t->cancel();
            });
        });
        ASSERT_EQ(punch->start(), std::nullopt);
    }
    void TearDown() override {
        punch->cancel();
        closeAndSettle(host, h);
    }

    struct Dial {
        std::shared_ptr<Transport> transport;
        std::unique_ptr<TransportProbe> probe;
    };
    Dial dial(const std::string& code, std::optional<std::uint16_t> from = std::nullopt) {
        Dial d;
        d.transport =
            dialQuic(net, {"127.0.0.1", punch->port()}, AccessCode::pskKey(code), from, quick);
        d.probe = std::make_unique<TransportProbe>(d.transport);
        d.transport->start();
        return d;
    }
    bool ends(Dial& d, const std::function<bool(const ConnState&)>& pred) {
        return h.pumpUntil([&] {
            auto snap = d.probe->snapshot();
            return snap.last() && pred(*snap.last());
        });
    }
};

TEST_F(NetPunchedAccept, RightCodeIsListedAsThroughTheNat) {
    auto d = dial(accessCode);
    ASSERT_TRUE(ends(d, holds<conn::Ready>));
    ASSERT_TRUE(h.pumpUntil([&] { return host->clients().size() == 1; }));
    EXPECT_EQ(host->clients()[0]->connection->route(), ConnectionRoute::natTraversal);
    d.transport->cancel();
}

TEST_F(NetPunchedAccept, FiveWrongCodesBlockTheAddressAndTheSixthGetsNoAnswer) {
    for (int i = 1; i <= 5; ++i) {
        auto d = dial("ZZZ-ZZZ-ZZZ-ZZ" + std::to_string(i + 1));
        ASSERT_TRUE(ends(d, isTlsFailure)) << i;
        ASSERT_TRUE(h.pumpUntil([&] { return h.wrongCodeEntries() == std::size_t(i); })) << i;
        d.transport->cancel();
        h.rt.advance(4s);
    }
    ASSERT_EQ(h.notifier.posted().size(), 1u);

    // Even the right code, from another port of the blocked address, gets no datagram back:
    // the dial times out without a TLS failure.
    int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    std::uint16_t port = ntohs(a.sin_port);
    ::close(fd);
    auto sixth = dial(accessCode, port);
    ASSERT_TRUE(ends(sixth, holds<conn::Waiting>));
    EXPECT_FALSE(isTlsFailure(*sixth.probe->snapshot().last()));
    EXPECT_TRUE(host->clients().empty());
    EXPECT_EQ(h.wrongCodeEntries(), 5u);
    sixth.transport->cancel();
}

// The punch listener is never restarted: it reads the key at each handshake.
TEST_F(NetPunchedAccept, TheKeyFollowsNewAndSupportCodes) {
    host->newAccessCode();
    const std::string fresh = host->accessCode();
    auto old = dial(accessCode);
    EXPECT_TRUE(ends(old, isTlsFailure));
    EXPECT_TRUE(h.pumpUntil([&] { return h.wrongCodeEntries() == 1; }));
    auto now = dial(fresh);
    EXPECT_TRUE(ends(now, holds<conn::Ready>));

    host->setSupportCode(supportCode);
    host->frontDoor().start();
    auto withAccess = dial(fresh);
    EXPECT_TRUE(ends(withAccess, isTlsFailure));
    auto withSupport = dial(supportCode);
    EXPECT_TRUE(ends(withSupport, holds<conn::Ready>));
    for (auto* d : {&old, &now, &withAccess, &withSupport}) d->transport->cancel();
}

}  // namespace
