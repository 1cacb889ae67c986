#include "Orvane_Host/session/HostStatusBuilder.h"

#include <gtest/gtest.h>

#include <thread>

#include "OrvaneKit/base/testing/FakeClock.h"
#include "Orvane_Host/system/testing/FakeHostFacts.h"

namespace orvane {
namespace {

using namespace std::chrono_literals;

TEST(HostStatusBuilder, RecordFromTheMachinesFacts) {
    FakeHostFacts facts;
    FakeClock clock;
    HostStatusBuilder builder(facts, clock);
    facts.update([](auto& v) { v.battery = BatteryInfo{57, true}; });

    EXPECT_EQ(builder.makeHostStatus(),
              (HostStatus{"Test Machine 1,1", "Test OS 1 (Linux 6.1.0)", 1234.5, 57, true,
                          1'000'000, 4'000'000, "nominal", 16.0, "aa:bb:cc:dd:ee:ff"}));

    facts.update([](auto& v) {
        v.battery.reset();
        v.macAddress.reset();
        v.model.clear();
        v.physicalMemory = 24ull << 30;
    });
    const auto s = builder.makeHostStatus();
    EXPECT_EQ(s.batteryPercent, std::nullopt);
    EXPECT_EQ(s.isCharging, std::nullopt);
    EXPECT_EQ(s.macAddress, std::nullopt);
    EXPECT_EQ(s.model, "");
    EXPECT_EQ(s.memoryGB, 24.0);
}

TEST(HostStatusBuilder, ThermalStateTexts) {
    const std::pair<int, const char*> cases[] = {{0, "nominal"},  {1, "fair"},    {2, "serious"},
                                                 {3, "critical"}, {4, "unknown"}, {-1, "unknown"}};
    FakeHostFacts facts;
    FakeClock clock;
    HostStatusBuilder builder(facts, clock);
    for (auto [state, text] : cases) {
        facts.update([state = state](auto& v) { v.thermalState = state; });
        EXPECT_EQ(builder.makeHostStatus().thermalState, text) << state;
    }
}

TEST(HostStatusBuilder, NonFiniteUptimeStillSends) {
    FakeHostFacts facts;
    FakeClock clock;
    HostStatusBuilder builder(facts, clock);
    facts.update([](auto& v) { v.uptimeSeconds = std::numeric_limits<double>::quiet_NaN(); });
    EXPECT_TRUE(json::encode(builder.makeHostStatus()));
}

TEST(HostStatusBuilder, DiskCapacitiesAreReadAtMostOnceAMinute) {
    FakeHostFacts facts;
    FakeClock clock;
    HostStatusBuilder builder(facts, clock);
    EXPECT_EQ(builder.makeHostStatus().diskFreeBytes, 1'000'000);

    facts.update([](auto& v) { v.disk = {500'000, 4'000'000}; });  // the disk fills up
    clock.advance(30s);
    EXPECT_EQ(builder.makeHostStatus().diskFreeBytes, 1'000'000);
    clock.advance(30s - 1ns);
    EXPECT_EQ(builder.makeHostStatus().diskFreeBytes, 1'000'000);
    EXPECT_EQ(facts.diskQueries(), 1);
    clock.advance(1ns);
    EXPECT_EQ(builder.makeHostStatus().diskFreeBytes, 500'000);
    EXPECT_EQ(facts.diskQueries(), 2);

    // A failed query is remembered too: the next minute sends no capacities.
    facts.update([](auto& v) { v.disk = {}; });
    clock.advance(60s);
    EXPECT_EQ(builder.makeHostStatus().diskTotalBytes, std::nullopt);
    facts.update([](auto& v) { v.disk = {1, 2}; });
    clock.advance(59s);
    EXPECT_EQ(builder.makeHostStatus().diskTotalBytes, std::nullopt);
    EXPECT_EQ(facts.diskQueries(), 3);
}

TEST(HostStatusConcurrency, BuildsFromTwoThreadsAtOnce) {
    FakeHostFacts facts;
    FakeClock clock;
    HostStatusBuilder builder(facts, clock);
    auto work = [&] {
        for (int i = 0; i < 500; ++i) {
            clock.advance(1s);
            auto s = builder.makeHostStatus();
            EXPECT_EQ(s.diskTotalBytes, 4'000'000);
        }
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    // One query a minute, give or take the races the cache allows.
    EXPECT_GE(facts.diskQueries(), 1000 / 60);
    EXPECT_LE(facts.diskQueries(), 2 * (1000 / 60 + 1));
}

}  // namespace
}  // namespace orvane
