#pragma once

#include "OrvaneKit/base/NetContext.h"
#include "OrvaneKit/net/ngtcp2/QuicEndpoint.h"
#include "OrvaneKit/reach/NATHolePunch.h"

namespace orvane {

// The hole punch's listener on our QUIC endpoint, bound to 0.0.0.0 unless `bindAddress` says
// otherwise.
std::shared_ptr<HolePunchListener> makeQuicHolePunchListener(
    NetContext& net, std::uint16_t port, PunchKeySource key, QuicSettings settings = {},
    std::optional<std::string> bindAddress = std::nullopt);

// A factory making those listeners.
HolePunchListenerFactory quicHolePunchListeners(
    NetContext& net, QuicSettings settings = {},
    std::optional<std::string> bindAddress = std::nullopt);

}  // namespace orvane
