#pragma once

#include <asio/any_io_executor.hpp>
#include <functional>
#include <optional>
#include <string>

#include "OrvaneKit/base/Bytes.h"
#include "OrvaneKit/base/Errors.h"
#include "OrvaneKit/protocol/MessageType.h"

namespace orvane {

enum class ConnectionRoute;  // OrvaneKit/reach/ConnectionRoute.h

// What the session core needs of one sealed message connection. The secure message connection
// implements it; tests use FakeConnection.
class ISessionConnection {
public:
    // Runs exactly once per send, from any thread (normally the connection's queue): with no
    // error once the message is handed to the network, with the error otherwise, and with an
    // error for every queued send when the connection is cancelled. The connection may hold its
    // send lock while calling it, so a completion must never wait for that lock.
    using Completion = std::function<void(std::optional<NetError>)>;

    virtual ~ISessionConnection() = default;

    // Seals and sends one message; callable from any thread.
    virtual void send(MessageType type, Bytes body, Completion done = {}) = 0;
    // Closes the connection; idempotent, callable from any thread.
    virtual void cancel() = 0;
    // The fingerprint of the identity the peer proved in the handshake; none before that.
    virtual std::optional<std::string> peerFingerprint() const = 0;
    virtual ConnectionRoute route() const = 0;
    // The connection's serial queue, on which its messages and state reports arrive.
    virtual asio::any_io_executor executor() const = 0;
};

}  // namespace orvane
