#pragma once

#include <cstdint>
#include <optional>

namespace orvane {

// Where a viewer's virtual key code sits on a PC keyboard: the Linux input code of the same
// position (X keycode = code + 8 under the evdev rules Xorg and Xvfb use), and the key's
// unshifted US keysym for servers with another keycode scheme.
struct PcKey {
    std::uint16_t evdev;
    std::uint32_t keysym;
};

// None for keys without a PC counterpart (Function).
std::optional<PcKey> pcKeyFor(std::uint16_t macKeyCode);

}  // namespace orvane
