#pragma once

#include <optional>
#include <string>

#include "OrvaneKit/net/TlsPskConfig.h"

namespace orvane {

// Parameters of a session connection or listener. Peer-to-peer and cellular choices are kept so
// callers can state them, but Linux has neither peer-to-peer links nor cellular interface types.
struct SessionParams {
    TlsPskConfig tls;
    bool noDelay = true;
    bool keepAlive = true;
    int keepAliveIdleSeconds = 2;  // interval and count stay at the system's defaults
    bool includePeerToPeer = true;
    bool prohibitCellular = false;
    bool interactiveVideo = true;  // marks packets AF41 where the system allows it
    bool allowLocalEndpointReuse = false;
    std::optional<std::string> requiredInterface;

    bool operator==(const SessionParams&) const = default;
};

// Applies the TCP and IP options to a connected or accepted socket. An option the system
// refuses is a failure, except the packet marking, which is best effort.
std::optional<int> applySocketOptions(int fd, const SessionParams& params);

}  // namespace orvane
