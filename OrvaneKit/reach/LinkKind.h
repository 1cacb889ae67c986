#pragma once

#include <optional>
#include <string_view>

namespace orvane {

// The kind of link a connection runs over. Linux has no cellular interface type.
enum class LinkKind { wifi, wired, cellular, other };

std::string_view rawValue(LinkKind kind);
std::optional<LinkKind> linkKindFromRaw(std::string_view raw);

}  // namespace orvane
