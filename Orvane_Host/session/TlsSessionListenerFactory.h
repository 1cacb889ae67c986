#pragma once

#include <optional>
#include <string>

#include "OrvaneKit/base/NetContext.h"
#include "Orvane_Host/session/ISessionListener.h"

namespace orvane {

// Session listeners on TCP with TLS over the pre-shared key, on the network pool.
class TlsSessionListenerFactory final : public ISessionListenerFactory {
public:
    explicit TlsSessionListenerFactory(NetContext& net,
                                       std::optional<std::string> bindAddress = std::nullopt)
        : net_(net), bindAddress_(std::move(bindAddress)) {}
    std::shared_ptr<ISessionListener> make(std::uint16_t port,
                                           const SessionParams& params) override;

private:
    NetContext& net_;
    std::optional<std::string> bindAddress_;
};

}  // namespace orvane
