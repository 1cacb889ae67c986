#include "OrvaneKit/reach/LinkKind.h"

#include <array>

namespace orvane {

namespace {
constexpr std::array<std::string_view, 4> names = {"wifi", "wired", "cellular", "other"};
}

std::string_view rawValue(LinkKind kind) {
    return names[static_cast<std::size_t>(kind)];
}

std::optional<LinkKind> linkKindFromRaw(std::string_view raw) {
    for (std::size_t i = 0; i < names.size(); ++i)
        if (names[i] == raw) return static_cast<LinkKind>(i);
    return std::nullopt;
}

}  // namespace orvane
