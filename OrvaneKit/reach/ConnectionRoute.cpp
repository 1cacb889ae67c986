#include "OrvaneKit/reach/ConnectionRoute.h"

#include <arpa/inet.h>

#include <array>
#include <cstdint>

namespace orvane {

namespace {

constexpr std::array<std::string_view, 5> routeNames = {"localNetwork", "privateNetwork",
                                                        "internet", "natTraversal", "unknown"};

ConnectionRoute classifyV4(const std::uint8_t* b) {
    if (b[0] == 10 || b[0] == 127) return ConnectionRoute::localNetwork;
    if (b[0] == 169 && b[1] == 254) return ConnectionRoute::localNetwork;
    if (b[0] == 172 && (b[1] & 0xF0) == 16) return ConnectionRoute::localNetwork;
    if (b[0] == 192 && b[1] == 168) return ConnectionRoute::localNetwork;
    if (b[0] == 100 && b[1] >= 64 && b[1] <= 127) return ConnectionRoute::privateNetwork;
    return ConnectionRoute::internet;
}

bool isV4Mapped(const std::uint8_t* b) {
    for (int i = 0; i < 10; ++i)
        if (b[i] != 0) return false;
    return b[10] == 0xFF && b[11] == 0xFF;
}

bool isLoopbackV6(const std::uint8_t* b) {
    for (int i = 0; i < 15; ++i)
        if (b[i] != 0) return false;
    return b[15] == 1;
}

ConnectionRoute classifyV6(const std::uint8_t* b) {
    if (b[0] == 0xFD && b[1] == 0x7A && b[2] == 0x11 && b[3] == 0x5C)
        return ConnectionRoute::privateNetwork;
    if (b[0] == 0xFD) return ConnectionRoute::localNetwork;
    if (b[0] == 0xFE)
        return (b[1] >= 0x80 && b[1] <= 0xBF) ? ConnectionRoute::localNetwork
                                              : ConnectionRoute::internet;
    if (b[0] == 0xFC) return ConnectionRoute::localNetwork;
    if (isV4Mapped(b)) return classifyV4(b + 12);
    if (isLoopbackV6(b)) return ConnectionRoute::localNetwork;
    return ConnectionRoute::internet;
}

bool endsWith(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

}  // namespace

std::string_view rawValue(ConnectionRoute route) {
    return routeNames[static_cast<std::size_t>(route)];
}

std::optional<ConnectionRoute> connectionRouteFromRaw(std::string_view raw) {
    for (std::size_t i = 0; i < routeNames.size(); ++i)
        if (routeNames[i] == raw) return static_cast<ConnectionRoute>(i);
    return std::nullopt;
}

std::string normalizedHostText(std::string_view host) {
    std::string text(host);
    if (text.find(':') == std::string::npos) return text;
    std::array<std::uint8_t, 16> b{};
    if (inet_pton(AF_INET6, text.c_str(), b.data()) != 1 || !isV4Mapped(b.data())) return text;
    char out[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, b.data() + 12, out, sizeof out);
    return out;
}

std::string routeHostString(const NetworkEndpoint& endpoint) {
    if (const auto* hp = std::get_if<HostPort>(&endpoint)) return hp->host;
    return "bonjour.local";
}

ConnectionRoute classifyRoute(const std::optional<std::string>& host, bool holePunched) {
    if (holePunched) return ConnectionRoute::natTraversal;
    if (!host || host->empty()) return ConnectionRoute::unknown;
    std::string text = host->substr(0, host->find('%'));
    std::array<std::uint8_t, 16> b{};
    if (inet_pton(AF_INET, text.c_str(), b.data()) == 1) return classifyV4(b.data());
    if (inet_pton(AF_INET6, text.c_str(), b.data()) == 1) return classifyV6(b.data());
    if (endsWith(text, ".local") || endsWith(text, ".local.")) return ConnectionRoute::localNetwork;
    return ConnectionRoute::unknown;
}

}  // namespace orvane
