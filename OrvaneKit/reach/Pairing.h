#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvane {

namespace Pairing {
inline constexpr std::string_view scheme = "kelsap";
inline constexpr std::string_view host = "pair";
inline constexpr std::uint16_t defaultPort = 5895;
}  // namespace Pairing

struct PairingRoute {
    std::string host;
    std::uint16_t port = 0;
    bool operator==(const PairingRoute&) const = default;
};

// How far a link is likely to reach.
enum class PairingReach { sameNetworkOnly, bestEffortInternet, behindCarrierGradeNAT };
std::string_view rawValue(PairingReach reach);

// Everything a viewer needs to reach a machine and log in, and the link that carries it.
struct PairingInfo {
    std::string name;
    std::optional<std::string> host;
    std::uint16_t port = Pairing::defaultPort;
    std::string code;
    std::optional<std::string> externalHost;
    std::optional<std::uint16_t> externalPort;
    std::vector<std::string> ipv6;
    std::optional<std::string> natHost;
    std::optional<std::uint16_t> natPort;

    bool operator==(const PairingInfo&) const = default;

    // The link; fields that do not meet the link's rules are left out.
    std::string url() const;
    // Any text, trimmed; none for anything that is not a usable link.
    static std::optional<PairingInfo> parse(std::string_view text);

    PairingReach reach() const;
    // Where to try, in order, each (host, port) once; the hole-punch endpoint is not one.
    std::vector<PairingRoute> routes() const;
};

}  // namespace orvane
