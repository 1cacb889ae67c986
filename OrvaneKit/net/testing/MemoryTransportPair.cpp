#include "OrvaneKit/net/testing/MemoryTransportPair.h"

namespace orvane {

MemoryTransportPair MemoryTransportPair::make(NetContext& net, Options options) {
    MemoryTransportPair pair;
    auto clientStrand = net.makeStrand("orvane.connection");
    auto serverStrand = net.makeStrand("orvane.connection");
    std::tie(pair.clientLink, pair.serverLink) =
        MemoryLink::makePair(clientStrand, options.clientLink, serverStrand, options.serverLink);
    std::unique_ptr<TlsPskSession> clientTls, serverTls;
    if (options.clientTls)
        clientTls = std::make_unique<TlsPskSession>(
            TlsPskContext::make(TlsPskContext::Role::client, *options.clientTls));
    if (options.serverTls)
        serverTls = std::make_unique<TlsPskSession>(
            TlsPskContext::make(TlsPskContext::Role::server, *options.serverTls));
    pair.client = TlsPskTransport::make(clientStrand, pair.clientLink, std::move(clientTls), true);
    pair.server = TlsPskTransport::make(serverStrand, pair.serverLink, std::move(serverTls), false);
    return pair;
}

}  // namespace orvane
