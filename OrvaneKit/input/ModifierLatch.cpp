#include "OrvaneKit/input/ModifierLatch.h"

namespace orvane {

namespace {
constexpr std::uint16_t capsLockKey = 57;
}

std::optional<std::uint64_t> ModifierLatch::flag(std::uint16_t keyCode) {
    switch (keyCode) {
        case 54:
        case 55:
            return ModifierBits::command;
        case 56:
        case 60:
            return ModifierBits::shift;
        case 58:
        case 61:
            return ModifierBits::option;
        case 59:
        case 62:
            return ModifierBits::control;
        case 63:
            return functionFlag;
        default:
            return std::nullopt;
    }
}

std::uint64_t ModifierLatch::apply(std::uint16_t keyCode, bool down, std::uint64_t givenFlags) {
    if (keyCode == capsLockKey) {
        flags = (flags & ~ModifierBits::capsLock) | (givenFlags & ModifierBits::capsLock);
        return flags;
    }
    if (!flag(keyCode)) return flags;
    if (down)
        heldKeys.insert(keyCode);
    else
        heldKeys.erase(keyCode);
    std::uint64_t next = flags & ModifierBits::capsLock;
    for (std::uint16_t held : heldKeys) next |= *flag(held);
    flags = next;
    return flags;
}

std::vector<std::uint16_t> ModifierLatch::keyCodes(std::uint64_t flags) {
    std::vector<std::uint16_t> out;
    if (flags & ModifierBits::control) out.push_back(59);
    if (flags & ModifierBits::option) out.push_back(58);
    if (flags & ModifierBits::shift) out.push_back(56);
    if (flags & ModifierBits::command) out.push_back(55);
    return out;
}

}  // namespace orvane
