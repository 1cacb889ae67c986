#include "OrvaneKit/input/KeyMap.h"

#include <gtest/gtest.h>

#include <set>

namespace orvane {
namespace {

TEST(KeyMap, Usages) {
    const std::pair<std::int64_t, std::optional<std::uint16_t>> cases[] = {
        {4, 0},
        {29, 6},
        {30, 18},
        {39, 29},
        {40, 36},
        {50, std::nullopt},
        {53, 50},
        {57, 57},
        {58, 122},
        {69, 111},
        {70, std::nullopt},
        {73, std::nullopt},
        {74, 115},
        {82, 126},
        {83, std::nullopt},
        {223, std::nullopt},
        {224, 59},
        {231, 54},
        {232, std::nullopt},
        {0, std::nullopt},
        {3, std::nullopt},
        {-1, std::nullopt},
    };
    for (const auto& [usage, code] : cases) EXPECT_EQ(KeyMap::codeForUsage(usage), code) << usage;

    // 82 usages, each to its own key.
    std::set<std::uint16_t> codes;
    int mapped = 0;
    for (std::int64_t u = 0; u < 300; ++u)
        if (auto c = KeyMap::codeForUsage(u)) {
            ++mapped;
            codes.insert(*c);
        }
    EXPECT_EQ(mapped, 82);
    EXPECT_EQ(codes.size(), 82u);
}

TEST(KeyMap, Characters) {
    const std::pair<const char*, std::optional<std::uint16_t>> cases[] = {
        {"q", 12},
        {"Q", 12},
        {"a", 0},
        {"Z", 6},
        {"0", 29},
        {"1", 18},
        {" ", 49},
        {"-", 27},
        {"`", 50},
        {"\\", 42},
        {"/", 44},
        {"'", 39},
        {"!", std::nullopt},
        {"", std::nullopt},
        {"qq", std::nullopt},
        {"\xc3\xa4", std::nullopt},  // ä
        {"\xe2\x84\xaa", 40},        // Kelvin sign, lower-case k
    };
    for (const auto& [c, code] : cases) EXPECT_EQ(KeyMap::codeFor(c), code) << c;
}

TEST(KeyMap, NamedCodes) {
    EXPECT_EQ(KeyMap::deleteKey, 51);
    EXPECT_EQ(KeyMap::returnKey, 36);
    EXPECT_EQ(KeyMap::escapeKey, 53);
    EXPECT_EQ(KeyMap::tabKey, 48);
    EXPECT_EQ(KeyMap::leftArrow, 123);
    EXPECT_EQ(KeyMap::rightArrow, 124);
    EXPECT_EQ(KeyMap::downArrow, 125);
    EXPECT_EQ(KeyMap::upArrow, 126);
}

}  // namespace
}  // namespace orvane
