#pragma once

#include <memory>

#include "OrvaneKit/protocol/OrvaneConnection.h"
#include "Orvane_Host/session/ISessionConnection.h"

namespace orvane {

// The session core's view of an accepted sealed message connection.
class SecureSessionConnection final : public ISessionConnection {
public:
    explicit SecureSessionConnection(std::shared_ptr<OrvaneConnection> connection)
        : connection_(std::move(connection)) {}

    void send(MessageType type, Bytes body, Completion done = {}) override {
        connection_->send(type, std::move(body), std::move(done));
    }
    void cancel() override { connection_->cancel(); }
    std::optional<std::string> peerFingerprint() const override {
        return connection_->peerFingerprint();
    }
    ConnectionRoute route() const override { return connection_->route(); }
    asio::any_io_executor executor() const override { return connection_->strand(); }
    // A client record let go while its peer still holds the connection open must not leak it.
    ~SecureSessionConnection() override { connection_->cancel(); }

    const std::shared_ptr<OrvaneConnection>& connection() const { return connection_; }

private:
    std::shared_ptr<OrvaneConnection> connection_;
};

}  // namespace orvane
