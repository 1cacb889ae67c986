#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "OrvaneKit/net/ConnState.h"
#include "OrvaneKit/net/SessionParams.h"
#include "OrvaneKit/net/Transport.h"

namespace orvane {

// The host's listening socket for sessions. States: ready, failed(e) (the port cannot be bound or
// accepting broke), cancelled after cancel(). Accepted connections arrive as transports that
// have not started, so the host can still refuse an address before any TLS byte.
class ISessionListener {
public:
    using StateHandler = std::function<void(const ConnState&)>;
    using ConnectionHandler = std::function<void(std::shared_ptr<Transport>)>;

    virtual ~ISessionListener() = default;
    // Install both before start(); they may run on any thread.
    virtual void setStateHandler(StateHandler handler) = 0;
    virtual void setNewConnectionHandler(ConnectionHandler handler) = 0;
    virtual void start() = 0;
    virtual void cancel() = 0;
    // New connections use `params` from now on, on the same socket: a change of code never
    // closes the port nor drops connections waiting to be accepted. Throws PlatformError when
    // the TLS settings cannot be applied.
    virtual void rekey(const SessionParams& params) = 0;
    // The bound port once ready, else 0.
    virtual std::uint16_t port() const = 0;
};

class ISessionListenerFactory {
public:
    virtual ~ISessionListenerFactory() = default;
    // Port 0 picks a free one. Throws PlatformError when the TLS settings cannot be applied; a
    // port that cannot be bound is reported later as the failed state.
    virtual std::shared_ptr<ISessionListener> make(std::uint16_t port,
                                                   const SessionParams& params) = 0;
};

}  // namespace orvane
