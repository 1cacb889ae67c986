#include "OrvaneKit/reach/testing/FakeHolePunchListener.h"

namespace orvane {

void FakeHolePunchListener::setConnectionHandler(ConnectionHandler handler) {
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
}

std::optional<NetError> FakeHolePunchListener::start() {
    std::lock_guard lock(mutex_);
    if (failure_) return failure_;
    started_ = true;
    return std::nullopt;
}

void FakeHolePunchListener::cancel() {
    std::lock_guard lock(mutex_);
    cancelled_ = true;
}

void FakeHolePunchListener::sendRaw(HostPort destination, Bytes datagram) {
    std::lock_guard lock(mutex_);
    if (started_ && !cancelled_) sent_.emplace_back(std::move(destination), std::move(datagram));
}

void FakeHolePunchListener::failStart(NetError error) {
    std::lock_guard lock(mutex_);
    failure_ = std::move(error);
}

void FakeHolePunchListener::deliver(std::shared_ptr<Transport> connection) {
    ConnectionHandler handler;
    {
        std::lock_guard lock(mutex_);
        handler = handler_;
    }
    if (handler) handler(std::move(connection));
}

std::vector<std::pair<HostPort, Bytes>> FakeHolePunchListener::sent() const {
    std::lock_guard lock(mutex_);
    return sent_;
}

bool FakeHolePunchListener::started() const {
    std::lock_guard lock(mutex_);
    return started_;
}

bool FakeHolePunchListener::cancelled() const {
    std::lock_guard lock(mutex_);
    return cancelled_;
}

HolePunchListenerFactory FakeHolePunchListeners::factory() {
    return [this](std::uint16_t port, PunchKeySource key) {
        auto l = std::make_shared<FakeHolePunchListener>(port, std::move(key));
        if (failStart) l->failStart(*failStart);
        made.push_back(l);
        return l;
    };
}

}  // namespace orvane
