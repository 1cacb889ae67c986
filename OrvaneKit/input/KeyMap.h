#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace orvane {

// Keyboard usages (USB HID usage page 7) and typed characters to the viewers' virtual key codes,
// the codes InputEvent::Key carries. The tables are constant; lookups are safe on any thread.
namespace KeyMap {

inline constexpr std::uint16_t deleteKey = 51;
inline constexpr std::uint16_t returnKey = 36;
inline constexpr std::uint16_t escapeKey = 53;
inline constexpr std::uint16_t tabKey = 48;
inline constexpr std::uint16_t leftArrow = 123;
inline constexpr std::uint16_t rightArrow = 124;
inline constexpr std::uint16_t downArrow = 125;
inline constexpr std::uint16_t upArrow = 126;

std::optional<std::uint16_t> codeForUsage(std::int64_t usage);
// `character` is one character as UTF-8; it is looked up in its lower-case form, so "Q" gives
// the Q key and shifted symbols such as "!" give none.
std::optional<std::uint16_t> codeFor(std::string_view character);

}  // namespace KeyMap

}  // namespace orvane
