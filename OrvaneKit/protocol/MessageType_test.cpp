#include "OrvaneKit/protocol/MessageType.h"

#include <gtest/gtest.h>

#include <set>

namespace orvane {
namespace {

TEST(MessageType, CodeToCase) {
    struct Case {
        std::uint32_t code;
        std::optional<MessageType> type;
    } cases[] = {
        {0, MessageType::invalid},
        {1, MessageType::hello},
        {19, MessageType::hostAction},
        {27, MessageType::displays},
        {28, std::nullopt},
        {33, std::nullopt},
        {39, std::nullopt},
        {40, MessageType::secureClientHello},
        {41, MessageType::secureServerHello},
        {42, MessageType::secureFinish},
        {43, std::nullopt},
        {0xFFFFFFFFu, std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(messageTypeFromRaw(c.code), c.type) << c.code;
}

TEST(MessageType, CatalogueRoundTripsAndNamesAreDistinct) {
    std::set<std::string_view> names;
    for (auto t : allMessageTypes) {
        EXPECT_EQ(messageTypeFromRaw(rawValue(t)), t);
        names.insert(messageTypeName(t));
    }
    EXPECT_EQ(names.size(), 31u);
    EXPECT_EQ(rawValue(MessageType::secureServerHello), 41u);
    EXPECT_EQ(messageTypeName(MessageType::secureServerHello), "secureServerHello");
    EXPECT_EQ(allMessageTypes.back(), MessageType::secureFinish);
}

TEST(MessageType, Constants) {
    EXPECT_EQ(defaultPort, 5895);
    EXPECT_EQ(bonjourServiceType, "_kelsap._tcp");
    EXPECT_EQ(protocolVersion, 2);
    EXPECT_EQ(ModifierBits::command | ModifierBits::shift, 0x120000u);
    EXPECT_EQ(ModifierBits::capsLock | ModifierBits::shift | ModifierBits::control |
                  ModifierBits::option | ModifierBits::command,
              0x1F0000u);
}

}  // namespace
}  // namespace orvane
