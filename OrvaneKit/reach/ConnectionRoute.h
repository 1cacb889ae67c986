#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "OrvaneKit/net/Transport.h"

namespace orvane {

// A service found by DNS-SD rather than an address; resolving it is the browser's business.
struct ServiceEndpoint {
    std::string name;
    std::string type;
    std::string domain = "local.";
    bool operator==(const ServiceEndpoint&) const = default;
};

// Where a connection is dialled to.
using NetworkEndpoint = std::variant<HostPort, ServiceEndpoint>;

// The class of a peer's address, for the session history and the viewers' route choice.
enum class ConnectionRoute { localNetwork, privateNetwork, internet, natTraversal, unknown };

std::string_view rawValue(ConnectionRoute route);
std::optional<ConnectionRoute> connectionRouteFromRaw(std::string_view raw);

// An IPv4-mapped IPv6 address ("::ffff:10.0.0.5", in any spelling) as its IPv4 text; any other
// text unchanged. A dual-stack socket reports IPv4 peers this way, and one peer must not be
// known under two names (wrong-code counting, route classes).
std::string normalizedHostText(std::string_view host);

// The host text of an endpoint: the name or address of a host-and-port endpoint, "bonjour.local"
// for a service.
std::string routeHostString(const NetworkEndpoint& endpoint);

// `natTraversal` whenever the path was hole-punched; `unknown` for no host or a name that is not
// a ".local" name; otherwise by address range. Loopback (127/8 and ::1) is this machine, so
// local.
ConnectionRoute classifyRoute(const std::optional<std::string>& host, bool holePunched = false);

}  // namespace orvane
