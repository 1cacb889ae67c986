#pragma once

#include <optional>
#include <string>

#include "OrvaneKit/net/Transport.h"

namespace orvane {

// The key of the wrong-code guard and a client's address: the peer's host without its port, an
// IPv4-mapped IPv6 address as plain IPv4 (so a dual-stack listener keys IPv4 peers the same way
// as an IPv4 one), an IPv6 zone kept. "" when the peer is unknown.
std::string endpointText(const std::optional<HostPort>& endpoint);
std::string endpointText(const std::string& host);

}  // namespace orvane
