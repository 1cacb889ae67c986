#pragma once

#include <memory>

#include "OrvaneKit/files/MessageSink.h"
#include "OrvaneKit/protocol/OrvaneConnection.h"

namespace orvane {

// A message connection as a file sender's sink. The connection completes a send once the
// record is handed to the socket, so one chunk in flight still fills the link.
class ConnectionSink final : public MessageSink {
public:
    explicit ConnectionSink(std::shared_ptr<OrvaneConnection> connection)
        : connection_(std::move(connection)) {}
    void send(MessageType type, Bytes body, Completion done = {}) override {
        connection_->send(type, std::move(body), std::move(done));
    }

private:
    std::shared_ptr<OrvaneConnection> connection_;
};

}  // namespace orvane
