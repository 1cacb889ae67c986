#pragma once

#include <functional>
#include <optional>

#include "OrvaneKit/base/Bytes.h"
#include "OrvaneKit/base/Errors.h"
#include "OrvaneKit/protocol/MessageType.h"

namespace orvane {

// Where a file sender's messages go: one sealed message connection, seen from the kit. Each
// owner adapts its own connection type to it.
class MessageSink {
public:
    // Runs once per send, from any thread, possibly before send() returns: with no error once
    // the message is handed to the network, else with the error that stopped it.
    using Completion = std::function<void(std::optional<NetError>)>;

    virtual ~MessageSink() = default;
    // Callable from any thread; messages go out in the order of the calls.
    virtual void send(MessageType type, Bytes body, Completion done = {}) = 0;
};

}  // namespace orvane
