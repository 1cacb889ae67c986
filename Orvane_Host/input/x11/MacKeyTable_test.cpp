#include "Orvane_Host/input/x11/MacKeyTable.h"

#include <gtest/gtest.h>

#include <set>

#include "OrvaneKit/input/KeyMap.h"

namespace orvane {
namespace {

// X keycodes under the evdev rules: the Linux input code plus 8.
TEST(MacKeyTable, KeysByPosition) {
    const std::pair<std::uint16_t, int> cases[] = {
        {0, 38},    {12, 24},   {36, 36},   {48, 23},   {49, 65},   {51, 22},   {53, 9},
        {117, 119}, {123, 113}, {124, 114}, {125, 116}, {126, 111}, {115, 110}, {119, 115},
        {116, 112}, {121, 117}, {122, 67},  {56, 50},   {59, 37},   {58, 64},   {55, 133},
        {54, 134},  {60, 62},   {61, 108},  {62, 105},  {57, 66},   {114, 118}, {90, 198},
        {82, 90},   {92, 81},   {76, 104},  {10, 94},
    };
    for (const auto& [mac, x] : cases) {
        auto key = pcKeyFor(mac);
        ASSERT_TRUE(key) << mac;
        EXPECT_EQ(key->evdev + 8, x) << mac;
    }
    for (std::uint16_t none : {52, 63, 66, 68, 70, 77, 108, 112, 127, 128, 0xFFFF})
        EXPECT_FALSE(pcKeyFor(none)) << none;
}

TEST(MacKeyTable, EveryKeyAViewerCanSendHasADistinctPlace) {
    std::set<std::uint16_t> evdev;
    for (std::int64_t usage = 0; usage < 256; ++usage) {
        auto mac = KeyMap::codeForUsage(usage);
        if (!mac) continue;
        auto key = pcKeyFor(*mac);
        ASSERT_TRUE(key) << "usage " << usage << " (key " << *mac << ")";
        EXPECT_TRUE(evdev.insert(key->evdev).second) << "key " << *mac << " shares its place";
    }
}

}  // namespace
}  // namespace orvane
