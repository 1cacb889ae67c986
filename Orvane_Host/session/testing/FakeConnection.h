#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Orvane_Host/session/ISessionConnection.h"

namespace orvane {

// Records sends and lets the test complete them when it likes, from any thread. Cancelling
// fails every pending send, as the real connection must.
class FakeConnection final : public ISessionConnection {
public:
    struct Sent {
        MessageType type;
        Bytes body;
    };

    explicit FakeConnection(std::optional<std::string> fingerprint = std::nullopt,
                            asio::any_io_executor queue = {});

    void send(MessageType type, Bytes body, Completion done = {}) override;
    void cancel() override;
    std::optional<std::string> peerFingerprint() const override;
    ConnectionRoute route() const override;
    // The queue given at construction; tests pass their runtime's.
    asio::any_io_executor executor() const override { return queue_; }

    void setRoute(ConnectionRoute r);
    void setFingerprint(std::optional<std::string> f);

    std::vector<Sent> sent() const;
    std::vector<Sent> sent(MessageType type) const;
    std::size_t pendingCount() const;
    // Completes the oldest pending send; false when none is pending.
    bool completeOne(std::optional<NetError> error = std::nullopt);
    void completeAll(std::optional<NetError> error = std::nullopt);
    bool isCancelled() const;
    int cancelCount() const;

private:
    mutable std::mutex mutex_;
    std::optional<std::string> fingerprint_;
    int route_;
    std::vector<Sent> sent_;
    std::vector<Completion> pending_;
    int cancels_ = 0;
    asio::any_io_executor queue_;
};

}  // namespace orvane
