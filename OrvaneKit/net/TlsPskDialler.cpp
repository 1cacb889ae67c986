#include "OrvaneKit/net/TlsPskDialler.h"

#include "OrvaneKit/net/asio/TcpLink.h"
#include "OrvaneKit/net/openssl/TlsPskContext.h"

namespace orvane {

std::shared_ptr<TlsPskTransport> TlsPskDialler::dial(NetContext& net, HostPort target,
                                                     const SessionParams& params) {
    auto context = TlsPskContext::make(TlsPskContext::Role::client, params.tls);
    auto strand = net.makeStrand("orvane.connection");
    auto link = TcpLink::dial(strand, std::move(target), params);
    return TlsPskTransport::make(strand, link, std::make_unique<TlsPskSession>(context), true);
}

}  // namespace orvane
