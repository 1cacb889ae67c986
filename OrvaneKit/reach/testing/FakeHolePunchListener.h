#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "OrvaneKit/reach/NATHolePunch.h"

namespace orvane {

// A hole-punch listener that records what it is asked to send and delivers the connections a
// test hands it.
class FakeHolePunchListener final : public HolePunchListener {
public:
    explicit FakeHolePunchListener(std::uint16_t port, PunchKeySource key = {})
        : port_(port), key(std::move(key)) {}

    void setConnectionHandler(ConnectionHandler handler) override;
    std::optional<NetError> start() override;
    void cancel() override;
    void sendRaw(HostPort destination, Bytes datagram) override;
    std::uint16_t port() const override { return port_; }

    // start() fails with this.
    void failStart(NetError error);
    void deliver(std::shared_ptr<Transport> connection);
    std::vector<std::pair<HostPort, Bytes>> sent() const;
    bool started() const;
    bool cancelled() const;

    const std::uint16_t port_;
    const PunchKeySource key;

private:
    mutable std::mutex mutex_;
    ConnectionHandler handler_;
    std::optional<NetError> failure_;
    std::vector<std::pair<HostPort, Bytes>> sent_;
    bool started_ = false;
    bool cancelled_ = false;
};

// Makes fake listeners and keeps every one it made.
struct FakeHolePunchListeners {
    std::vector<std::shared_ptr<FakeHolePunchListener>> made;
    std::optional<NetError> failStart;
    HolePunchListenerFactory factory();
};

}  // namespace orvane
