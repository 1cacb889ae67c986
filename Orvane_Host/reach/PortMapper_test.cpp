#include "Orvane_Host/reach/PortMapper.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>

#include "Orvane_Host/reach/testing/FakePortMappingBackend.h"

namespace orvane {
namespace {

std::uint32_t addressBE(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
    std::uint8_t bytes[4] = {a, b, c, d};
    std::uint32_t v;
    std::memcpy(&v, bytes, 4);
    return v;
}

std::uint16_t portBE(std::uint8_t hi, std::uint8_t lo) {
    std::uint8_t bytes[2] = {hi, lo};
    std::uint16_t v;
    std::memcpy(&v, bytes, 2);
    return v;
}

struct PortMapperTest : ::testing::Test {
    FakePortMappingBackend backend;
    PortMapper mapper{backend};
    std::vector<std::optional<PortMapping>> reports;
    void SetUp() override {
        mapper.setOnChange([this](const std::optional<PortMapping>& m) { reports.push_back(m); });
    }
};

TEST_F(PortMapperTest, RepliesBecomeTheExternalEndpointOrNone) {
    struct Case {
        int error;
        std::uint32_t address;
        std::uint16_t port;
        std::optional<PortMapping> expected;
    } cases[] = {
        {0, addressBE(1, 2, 3, 4), portBE(0x17, 0x07), PortMapping{"1.2.3.4", 5895}},
        {-65563, addressBE(1, 2, 3, 4), portBE(0x17, 0x07), std::nullopt},
        {0, 0, portBE(0x17, 0x07), std::nullopt},
        {0, addressBE(1, 2, 3, 4), 0, std::nullopt},
    };
    for (const auto& c : cases) {
        reports.clear();
        mapper.map(5895);
        backend.reply(c.error, c.address, c.port);
        ASSERT_EQ(reports.size(), 1u) << "the first reply is always reported";
        EXPECT_EQ(reports[0], c.expected);
        EXPECT_EQ(mapper.external(), c.expected);
    }
}

TEST_F(PortMapperTest, AsksForALifetimeAndReportsOnlyChanges) {
    mapper.map(5895);
    ASSERT_EQ(backend.starts.size(), 1u);
    EXPECT_EQ(backend.starts[0].internalPort, 5895);
    EXPECT_EQ(backend.starts[0].requestedExternalPort, 5895);
    EXPECT_EQ(backend.starts[0].lifetime, 7200u) << "0 would delete the mapping";

    auto a = addressBE(203, 0, 113, 7);
    backend.reply(0, a, htons(5895));
    backend.reply(0, a, htons(5895));  // a renewal that changes nothing
    backend.reply(0, a, htons(6000));  // the router granted another port
    backend.reply(3, 0, 0);            // lost
    backend.reply(3, 0, 0);
    backend.reply(0, a, htons(6000));  // back
    std::vector<std::optional<PortMapping>> expected = {
        PortMapping{"203.0.113.7", 5895}, PortMapping{"203.0.113.7", 6000}, std::nullopt,
        PortMapping{"203.0.113.7", 6000}};
    EXPECT_EQ(reports, expected);
}

TEST_F(PortMapperTest, MappingAgainEndsTheFirstAndClearsWithoutAReport) {
    mapper.map(5895);
    backend.reply(0, addressBE(1, 2, 3, 4), htons(5895));
    auto stale = backend.currentReply();
    reports.clear();
    mapper.map(5896);
    EXPECT_EQ(backend.calls, (std::vector<std::string>{"cancel", "start", "cancel", "start"}));
    EXPECT_EQ(mapper.external(), std::nullopt);
    EXPECT_TRUE(reports.empty());
    stale({0, addressBE(9, 9, 9, 9), htons(1)});  // a late reply of the first mapping
    EXPECT_TRUE(reports.empty());
    EXPECT_EQ(mapper.external(), std::nullopt);
}

TEST_F(PortMapperTest, StopEndsTheMappingSilentlyAndIsHarmlessWhenIdle) {
    mapper.stop();
    EXPECT_EQ(mapper.external(), std::nullopt);
    mapper.map(5895);
    backend.reply(0, addressBE(1, 2, 3, 4), htons(5895));
    reports.clear();
    mapper.stop();
    EXPECT_FALSE(backend.running());
    EXPECT_EQ(mapper.external(), std::nullopt);
    EXPECT_TRUE(reports.empty());
}

TEST_F(PortMapperTest, AFailedStartIsLoggedOnceAndNotRetried) {
    auto logs = std::make_shared<MemoryLogSink>();
    Log::addSink(logs);
    backend.startError = PortMappingBackend::serviceNotRunning;
    mapper.map(5895);
    Log::removeSink(logs);
    EXPECT_TRUE(logs->contains("port mapping unavailable (-65563)"));
    EXPECT_EQ(backend.starts.size(), 1u);
    EXPECT_TRUE(reports.empty());
    EXPECT_EQ(mapper.external(), std::nullopt);
}

}  // namespace
}  // namespace orvane
