#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <vector>

#include "OrvaneKit/protocol/MessageType.h"

namespace orvane {

// The modifier keys a remote keyboard holds down, and the event flags (ModifierBits) they make.
struct ModifierLatch {
    static constexpr std::uint64_t functionFlag = 0x800000;

    std::uint64_t flags = 0;
    std::set<std::uint16_t> heldKeys;

    // Takes one key event of the remote side; returns `flags` after it. Only Caps Lock (57)
    // reads the given flags; the other modifiers (54-63) count from the held keys alone.
    std::uint64_t apply(std::uint16_t keyCode, bool down, std::uint64_t givenFlags);

    // The flag of a modifier key code; none for Caps Lock and for codes outside 54-63.
    static std::optional<std::uint64_t> flag(std::uint16_t keyCode);
    // The left-hand key codes of Control, Option, Shift and Command in `flags`, in that order.
    static std::vector<std::uint16_t> keyCodes(std::uint64_t flags);

    bool operator==(const ModifierLatch&) const = default;
};

}  // namespace orvane
