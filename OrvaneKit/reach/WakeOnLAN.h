#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "OrvaneKit/base/Bytes.h"

namespace orvane {

// Wakes a sleeping machine on the same network from its hardware address.
namespace WakeOnLAN {
inline constexpr std::string_view broadcast = "255.255.255.255";

// Six 0xFF bytes, then the six address bytes sixteen times; none unless the text yields exactly
// six bytes. Groups are split at ":" and "-"; a group that is not one or two hex digits is
// skipped.
std::optional<Bytes> magicPacket(std::string_view mac);

// Three packets to port 9, then three to port 7, at `destination` (an IPv4 address; the
// broadcast address unless a test or a user names another). Blocking; reports nothing.
void send(std::string_view mac, const std::string& destination = std::string(broadcast));
}  // namespace WakeOnLAN

}  // namespace orvane
