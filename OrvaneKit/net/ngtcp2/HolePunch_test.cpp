// The hole punch on loopback: the machine's listener found by STUN, its punch datagrams, and a
// viewer dialling it from the port its own STUN exchange used.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>

#include "OrvaneKit/cloud/testing/FakeCloudStore.h"
#include "OrvaneKit/net/ngtcp2/QuicEndpoint.h"
#include "OrvaneKit/net/ngtcp2/QuicHolePunchListener.h"
#include "OrvaneKit/net/testing/TransportProbe.h"
#include "OrvaneKit/reach/NATHostPuncher.h"
#include "OrvaneKit/reach/NATPuncher.h"
#include "OrvaneKit/reach/NATSignalling.h"
#include "OrvaneKit/reach/testing/FakeSTUNServer.h"
#include "OrvaneKit/security/AccessCode.h"

namespace orvane {
namespace {

using namespace std::chrono_literals;

constexpr const char* code = "ABC-DEF-GHJ-KLM";

// A UDP socket on 127.0.0.1 that reads what arrives, with the sender's port.
struct Sniffer {
    int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    std::uint16_t port = 0;
    Sniffer() {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        socklen_t len = sizeof a;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
    }
    ~Sniffer() { ::close(fd); }
    struct Datagram {
        Bytes bytes;
        std::uint16_t from;
    };
    std::optional<Datagram> receive(std::chrono::milliseconds wait) {
        timeval tv{0, static_cast<suseconds_t>(wait.count() * 1000)};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        std::uint8_t buf[1500];
        sockaddr_in from{};
        socklen_t len = sizeof from;
        auto n = ::recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) return std::nullopt;
        return Datagram{Bytes(buf, buf + n), ntohs(from.sin_port)};
    }
};

struct NetHolePunch : ::testing::Test {
    NetContext net{3};
    FakeSTUNServer stun{FakeSTUNServer::reflecting()};
    MemorySettingsStore settings;
    std::shared_ptr<NATHostPuncher> host = NATHostPuncher::make(
        {net.context().get_executor(), quicHolePunchListeners(net, {}, "127.0.0.1"), {}});
    std::mutex mutex;
    std::vector<std::shared_ptr<Transport>> accepted;
    std::vector<std::unique_ptr<TransportProbe>> hostProbes;

    void SetUp() override {
        settings.setBool(NATHolePunch::defaultsKey, true);
        settings.setString(NATHolePunch::stunServerKey, "127.0.0.1:" + std::to_string(stun.port()));
        host->setOnConnection([this](std::shared_ptr<Transport> t) {
            auto probe = std::make_unique<TransportProbe>(t);
            t->start();
            std::lock_guard lock(mutex);
            accepted.push_back(t);
            hostProbes.push_back(std::move(probe));
        });
    }
    void TearDown() override {
        {
            std::lock_guard lock(mutex);
            for (auto& t : accepted) t->cancel();
        }
        host->stop();
        std::this_thread::sleep_for(50ms);
        net.stop();
    }
    std::optional<STUNDiscovery> startHost() {
        std::promise<std::optional<STUNDiscovery>> found;
        host->start([] { return AccessCode::pskKey(code); }, settings,
                    [&](std::optional<STUNDiscovery> d) { found.set_value(d); });
        return found.get_future().get();
    }
};

TEST_F(NetHolePunch, FiveOneByteDatagramsLeaveFromTheListenersPort) {
    auto found = startHost();
    ASSERT_TRUE(found);
    ASSERT_TRUE(host->listening());
    EXPECT_EQ(found->reflexive, (STUNReflexive{"127.0.0.1", found->localPort}));

    Sniffer sniffer;
    for (int round = 0; round < 2; ++round) {
        host->punch("127.0.0.1", sniffer.port);
        for (int i = 0; i < 5; ++i) {
            auto d = sniffer.receive(2s);
            ASSERT_TRUE(d) << "round " << round << " datagram " << i;
            EXPECT_EQ(d->bytes, Bytes{0x09});
            EXPECT_EQ(d->from, found->localPort);
        }
        EXPECT_FALSE(sniffer.receive(200ms)) << "exactly five";
    }
}

TEST_F(NetHolePunch, AViewerDialsTheMachineFromItsSTUNPort) {
    auto found = startHost();
    ASSERT_TRUE(found);

    // The viewer learns its address, leaves it in the store and gets its candidate.
    auto store = std::make_shared<FakeCloudStore>();
    store->database(CloudScope::privateScope)->modifyZones({CloudZoneID{"Kelsap"}}, {});
    auto viewer =
        NATPuncher::make({net.context().get_executor(), store, SystemClock::shared(), {}});
    std::promise<void> prepared;
    viewer->prepare("M1", found->reflexive.host, found->reflexive.port, code, settings,
                    [&] { prepared.set_value(); });
    prepared.get_future().wait();
    auto candidate = viewer->candidate();
    ASSERT_TRUE(candidate && candidate->quic && candidate->quic->localPort);
    const std::uint16_t viewerPort = *candidate->quic->localPort;
    EXPECT_EQ(viewerPort, stun.lastPeer().port());

    // The machine reads it and punches towards it; then the viewer dials from that port.
    auto towards = NATSignalling(store->otherDevice(), SystemClock::shared()).fetch("M1", 120);
    ASSERT_EQ(towards, (STUNReflexive{"127.0.0.1", viewerPort}));
    host->punch(towards->host, towards->port);
    auto client = dialQuic(net, candidate->endpoint, AccessCode::pskKey(code), viewerPort);
    TransportProbe probe(client);
    client->start();
    EXPECT_TRUE(probe.waitForState(holds<conn::Ready>));
    {
        std::lock_guard lock(mutex);
        ASSERT_EQ(accepted.size(), 1u);
        EXPECT_EQ(accepted[0]->remoteEndpoint(), (HostPort{"127.0.0.1", viewerPort}));
    }
    client->cancel();
}

}  // namespace
}  // namespace orvane
