#pragma once

#include <memory>
#include <optional>

#include "OrvaneKit/net/TlsPskConfig.h"
#include "OrvaneKit/net/TlsPskTransport.h"
#include "OrvaneKit/net/testing/MemoryLink.h"

namespace orvane {

// Two transports joined by an in-memory pipe: the dialling end and the accepting end. With TLS
// configs each end runs the real TLS adapter over the pipe; without, bytes pass in the clear and
// both ends are ready as soon as they start.
struct MemoryTransportPair {
    struct Options {
        std::optional<TlsPskConfig> clientTls;
        std::optional<TlsPskConfig> serverTls;
        MemoryLink::Options clientLink;
        MemoryLink::Options serverLink;
    };

    std::shared_ptr<TlsPskTransport> client;
    std::shared_ptr<TlsPskTransport> server;
    std::shared_ptr<MemoryLink> clientLink;
    std::shared_ptr<MemoryLink> serverLink;

    static MemoryTransportPair make(NetContext& net, Options options = {});
};

}  // namespace orvane
