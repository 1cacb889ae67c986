#include "OrvaneKit/input/ModifierLatch.h"

#include <gtest/gtest.h>

namespace orvane {
namespace {

constexpr std::uint64_t caps = ModifierBits::capsLock, shift = ModifierBits::shift,
                        command = ModifierBits::command;

struct Step {
    std::uint16_t code;
    bool down;
    std::uint64_t given;
    std::uint64_t flags;  // expected after the step
};

// Each sequence runs on a new latch; every step's result is checked.
TEST(ModifierLatch, SequencesOfKeyEvents) {
    struct Case {
        const char* name;
        std::vector<Step> steps;
    } cases[] = {
        {"left and right Shift share a bit",
         {{56, true, 0, shift}, {60, true, 0, shift}, {56, false, 0, shift}, {60, false, 0, 0}}},
        {"Caps Lock follows the given flags, down or up",
         {{57, true, caps, caps},
          {57, false, caps, caps},
          {55, true, 0, caps | command},
          {57, true, 0, command},
          {57, false, caps | shift, caps | command}}},
        {"other keys read nothing from the given flags",
         {{0, true, command, 0}, {64, true, command, 0}, {0xFFFF, false, shift, 0}}},
        {"a modifier's result ignores the given flags",
         {{55, true, shift | caps, command}, {55, false, command, 0}}},
        {"Function", {{63, true, 0, ModifierLatch::functionFlag}, {63, false, 0, 0}}},
        {"a key-up of a key never down", {{58, false, 0, 0}}},
    };
    for (const auto& c : cases) {
        ModifierLatch latch;
        for (std::size_t i = 0; i < c.steps.size(); ++i) {
            const Step& s = c.steps[i];
            EXPECT_EQ(latch.apply(s.code, s.down, s.given), s.flags) << c.name << ", step " << i;
            EXPECT_EQ(latch.flags, s.flags) << c.name << ", step " << i;
        }
    }
}

TEST(ModifierLatch, HeldKeysAndEquality) {
    ModifierLatch latch;
    latch.apply(0, true, 0);
    EXPECT_EQ(latch, ModifierLatch{});
    latch.apply(55, true, 0);
    latch.apply(62, true, 0);
    latch.apply(57, true, caps);
    EXPECT_EQ(latch.heldKeys, (std::set<std::uint16_t>{55, 62}));
    EXPECT_EQ(latch.flags, caps | command | ModifierBits::control);
    latch.apply(55, false, 0);
    latch.apply(62, false, 0);
    EXPECT_NE(latch, ModifierLatch{});  // Caps Lock stays on
}

TEST(ModifierLatch, FlagAndKeyCodeTables) {
    const std::pair<std::uint16_t, std::optional<std::uint64_t>> flags[] = {
        {53, std::nullopt},
        {54, command},
        {55, command},
        {56, shift},
        {57, std::nullopt},
        {58, ModifierBits::option},
        {59, ModifierBits::control},
        {60, shift},
        {61, ModifierBits::option},
        {62, ModifierBits::control},
        {63, 0x800000},
        {64, std::nullopt},
    };
    for (const auto& [code, flag] : flags) EXPECT_EQ(ModifierLatch::flag(code), flag) << code;

    using Codes = std::vector<std::uint16_t>;
    EXPECT_EQ(ModifierLatch::keyCodes(ModifierBits::control | ModifierBits::option | shift |
                                      command | caps | ModifierLatch::functionFlag),
              (Codes{59, 58, 56, 55}));
    EXPECT_EQ(ModifierLatch::keyCodes(command | shift), (Codes{56, 55}));
    EXPECT_EQ(ModifierLatch::keyCodes(caps | ModifierLatch::functionFlag), Codes{});
}

}  // namespace
}  // namespace orvane
