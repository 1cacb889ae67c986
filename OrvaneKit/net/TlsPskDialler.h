#pragma once

#include <memory>

#include "OrvaneKit/base/NetContext.h"
#include "OrvaneKit/net/SessionParams.h"
#include "OrvaneKit/net/TlsPskTransport.h"

namespace orvane {

// The dialling side of a session connection: resolves and connects to `target` when the
// transport starts, applies the session's socket options, then runs TLS as the client.
// A target that cannot be reached reports waiting with the error.
struct TlsPskDialler {
    // Throws PlatformError when the TLS settings cannot be applied.
    static std::shared_ptr<TlsPskTransport> dial(NetContext& net, HostPort target,
                                                 const SessionParams& params);
};

}  // namespace orvane
