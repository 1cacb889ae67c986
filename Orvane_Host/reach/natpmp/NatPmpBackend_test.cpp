#include "Orvane_Host/reach/natpmp/NatPmpBackend.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <asio/ip/udp.hpp>
#include <condition_variable>
#include <thread>

#include "OrvaneKit/base/NetContext.h"
#include "OrvaneKit/base/testing/FakeTimerService.h"

namespace orvane {
namespace {

// A NAT-PMP gateway on a loopback address of its own, port 5351, answering as the test says.
class LoopbackNatPmpResponder {
public:
    struct Request {
        int opcode;
        std::uint16_t internalPort = 0, suggestedPort = 0;
        std::uint32_t lifetime = 0;
    };

    explicit LoopbackNatPmpResponder(const std::string& address)
        : socket_(io_, {asio::ip::make_address(address), 5351}) {
        thread_ = std::thread([this] { serve(); });
    }
    ~LoopbackNatPmpResponder() {
        std::error_code ignored;
        // Wakes the receive; the socket closes once its reader is gone.
        socket_.shutdown(asio::socket_base::shutdown_both, ignored);
        thread_.join();
    }

    void set(std::string publicAddress, std::uint32_t epoch, std::uint16_t result = 0) {
        std::lock_guard lock(mutex_);
        inet_pton(AF_INET, publicAddress.c_str(), public_);
        epoch_ = epoch;
        result_ = result;
    }
    // The external port granted instead of the one suggested; 0: as suggested.
    void grant(std::uint16_t port) {
        std::lock_guard lock(mutex_);
        grant_ = port;
    }
    std::vector<Request> requests() {
        std::lock_guard lock(mutex_);
        return requests_;
    }
    bool waitFor(std::size_t count) {
        std::unique_lock lock(mutex_);
        return arrived_.wait_for(lock, std::chrono::seconds(5),
                                 [&] { return requests_.size() >= count; });
    }

private:
    void serve() {
        std::uint8_t b[64];
        for (;;) {
            asio::ip::udp::endpoint peer;
            std::error_code ec;
            auto n = socket_.receive_from(asio::buffer(b), peer, 0, ec);
            if (ec || n == 0) return;
            std::vector<std::uint8_t> out;
            {
                std::lock_guard lock(mutex_);
                Request r{b[1]};
                if (n >= 12 && b[1] == 2) {
                    r.internalPort = static_cast<std::uint16_t>(b[4] << 8 | b[5]);
                    r.suggestedPort = static_cast<std::uint16_t>(b[6] << 8 | b[7]);
                    r.lifetime = std::uint32_t(b[8]) << 24 | b[9] << 16 | b[10] << 8 | b[11];
                }
                requests_.push_back(r);
                out = {0,
                       std::uint8_t(128 + b[1]),
                       std::uint8_t(result_ >> 8),
                       std::uint8_t(result_),
                       std::uint8_t(epoch_ >> 24),
                       std::uint8_t(epoch_ >> 16),
                       std::uint8_t(epoch_ >> 8),
                       std::uint8_t(epoch_)};
                if (b[1] == 0) {
                    out.insert(out.end(), public_, public_ + 4);
                } else {
                    out.insert(out.end(), b + 4, b + 12);
                    if (grant_) {
                        out[10] = std::uint8_t(grant_ >> 8);
                        out[11] = std::uint8_t(grant_);
                    }
                }
                ++epoch_;
            }
            arrived_.notify_all();
            socket_.send_to(asio::buffer(out), peer, 0, ec);
        }
    }

    asio::io_context io_;
    asio::ip::udp::socket socket_;
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::uint8_t public_[4] = {203, 0, 113, 7};
    std::uint32_t epoch_ = 1000;
    std::uint16_t result_ = 0;
    std::uint16_t grant_ = 0;
    std::vector<Request> requests_;
    std::thread thread_;
};

struct Reports {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::optional<PortMapping>> values;
    void add(const std::optional<PortMapping>& m) {
        std::lock_guard lock(mutex);
        values.push_back(m);
        changed.notify_all();
    }
    bool waitFor(std::size_t count) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(5),
                                [&] { return values.size() >= count; });
    }
};

bool eventually(const std::function<bool()>& pred) {
    for (int i = 0; i < 500 && !pred(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return pred();
}

TEST(NetNatPmpBackend, MapsRenewsFollowsARestartAndDeletes) {
    LoopbackNatPmpResponder router("127.77.0.1");
    NetContext net(1);
    FakeClock clock;
    FakeTimerService timers(clock);
    NatPmpBackend backend(net.makeStrand("orvane.portmap"), timers, {"127.77.0.1"});
    PortMapper mapper(backend);
    Reports reports;
    mapper.setOnChange([&](const std::optional<PortMapping>& m) { reports.add(m); });

    mapper.map(5895);
    ASSERT_TRUE(reports.waitFor(1));
    EXPECT_EQ(reports.values[0], (PortMapping{"203.0.113.7", 5895}));
    EXPECT_EQ(mapper.external(), (PortMapping{"203.0.113.7", 5895}));
    auto asked = router.requests();
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_EQ(asked[0].opcode, 0);
    EXPECT_EQ(asked[1].opcode, 2);
    EXPECT_EQ(asked[1].internalPort, 5895);
    EXPECT_EQ(asked[1].suggestedPort, 5895);
    EXPECT_EQ(asked[1].lifetime, 7200u);

    // Half the granted lifetime later: the mapping alone is asked again; nothing changed.
    ASSERT_TRUE(eventually([&] { return timers.pendingCount() == 1; }));
    timers.advance(std::chrono::seconds(3600));
    ASSERT_TRUE(router.waitFor(3));
    EXPECT_EQ(router.requests()[2].opcode, 2);
    ASSERT_TRUE(eventually([&] { return timers.pendingCount() == 1; }));
    EXPECT_EQ(reports.values.size(), 1u);

    // The router restarted with a new public address: its epoch went back.
    router.set("203.0.113.8", 5);
    timers.advance(std::chrono::seconds(3600));
    ASSERT_TRUE(reports.waitFor(2));
    EXPECT_EQ(reports.values[1], (PortMapping{"203.0.113.8", 5895}));
    auto after = router.requests();
    ASSERT_EQ(after.size(), 6u);
    EXPECT_EQ(after[4].opcode, 0) << "the address is asked for again after a restart";

    mapper.stop();
    ASSERT_TRUE(router.waitFor(7));
    auto last = router.requests().back();
    EXPECT_EQ(last.opcode, 2);
    EXPECT_EQ(last.internalPort, 5895);
    EXPECT_EQ(last.lifetime, 0u) << "a lifetime of 0 deletes the mapping";
    EXPECT_EQ(mapper.external(), std::nullopt);
    EXPECT_EQ(reports.values.size(), 2u);
}

TEST(NetNatPmpBackend, ReportsAndRenewsTheGrantedPort) {
    LoopbackNatPmpResponder router("127.77.0.3");
    router.grant(6000);
    NetContext net(1);
    FakeClock clock;
    FakeTimerService timers(clock);
    NatPmpBackend backend(net.makeStrand("orvane.portmap"), timers, {"127.77.0.3"});
    PortMapper mapper(backend);
    Reports reports;
    mapper.setOnChange([&](const std::optional<PortMapping>& m) { reports.add(m); });
    mapper.map(5895);
    ASSERT_TRUE(reports.waitFor(1));
    EXPECT_EQ(reports.values[0], (PortMapping{"203.0.113.7", 6000}));
    ASSERT_TRUE(eventually([&] { return timers.pendingCount() == 1; }));
    timers.advance(std::chrono::seconds(3600));
    ASSERT_TRUE(router.waitFor(3));
    EXPECT_EQ(router.requests()[2].internalPort, 5895);
    EXPECT_EQ(router.requests()[2].suggestedPort, 6000);
    mapper.stop();
}

TEST(NetNatPmpBackend, ARefusalIsNoMappingAndAMissingGatewayIsLogged) {
    LoopbackNatPmpResponder router("127.77.0.2");
    router.set("203.0.113.7", 1000, 2);  // not authorised
    NetContext net(1);
    FakeClock clock;
    FakeTimerService timers(clock);
    NatPmpBackend backend(net.makeStrand("orvane.portmap"), timers, {"127.77.0.2"});
    PortMapper mapper(backend);
    Reports reports;
    mapper.setOnChange([&](const std::optional<PortMapping>& m) { reports.add(m); });
    mapper.map(5895);
    ASSERT_TRUE(reports.waitFor(1));
    EXPECT_EQ(reports.values[0], std::nullopt);
    mapper.stop();

    auto logs = std::make_shared<MemoryLogSink>();
    Log::addSink(logs);
    NatPmpBackend nowhere(net.makeStrand("orvane.portmap"), timers, {"no gateway"});
    PortMapper lost(nowhere);
    lost.map(5895);
    Log::removeSink(logs);
    EXPECT_TRUE(logs->contains("port mapping unavailable (-65566)"));
}

}  // namespace
}  // namespace orvane
