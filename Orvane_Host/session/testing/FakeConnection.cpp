#include "Orvane_Host/session/testing/FakeConnection.h"

namespace orvane {

FakeConnection::FakeConnection(std::optional<std::string> fingerprint, asio::any_io_executor queue)
    : fingerprint_(std::move(fingerprint)),
      route_(0),
      queue_(std::move(queue)) {}  // the first case, this network

void FakeConnection::send(MessageType type, Bytes body, Completion done) {
    Completion failNow;
    {
        std::lock_guard lock(mutex_);
        sent_.push_back({type, std::move(body)});
        if (cancels_ > 0)
            failNow = std::move(done);
        else
            pending_.push_back(done ? std::move(done) : Completion([](auto) {}));
    }
    if (failNow) failNow(NetError{NetError::Kind::posix, Err::notConnected, "cancelled"});
}

void FakeConnection::cancel() {
    std::vector<Completion> failed;
    {
        std::lock_guard lock(mutex_);
        ++cancels_;
        failed.swap(pending_);
    }
    for (auto& c : failed) c(NetError{NetError::Kind::posix, Err::notConnected, "cancelled"});
}

std::optional<std::string> FakeConnection::peerFingerprint() const {
    std::lock_guard lock(mutex_);
    return fingerprint_;
}

ConnectionRoute FakeConnection::route() const {
    std::lock_guard lock(mutex_);
    return static_cast<ConnectionRoute>(route_);
}

void FakeConnection::setRoute(ConnectionRoute r) {
    std::lock_guard lock(mutex_);
    route_ = static_cast<int>(r);
}

void FakeConnection::setFingerprint(std::optional<std::string> f) {
    std::lock_guard lock(mutex_);
    fingerprint_ = std::move(f);
}

std::vector<FakeConnection::Sent> FakeConnection::sent() const {
    std::lock_guard lock(mutex_);
    return sent_;
}

std::vector<FakeConnection::Sent> FakeConnection::sent(MessageType type) const {
    std::lock_guard lock(mutex_);
    std::vector<Sent> out;
    for (const auto& s : sent_)
        if (s.type == type) out.push_back(s);
    return out;
}

std::size_t FakeConnection::pendingCount() const {
    std::lock_guard lock(mutex_);
    return pending_.size();
}

bool FakeConnection::completeOne(std::optional<NetError> error) {
    Completion c;
    {
        std::lock_guard lock(mutex_);
        if (pending_.empty()) return false;
        c = std::move(pending_.front());
        pending_.erase(pending_.begin());
    }
    c(error);
    return true;
}

void FakeConnection::completeAll(std::optional<NetError> error) {
    while (completeOne(error)) {
    }
}

bool FakeConnection::isCancelled() const {
    std::lock_guard lock(mutex_);
    return cancels_ > 0;
}

int FakeConnection::cancelCount() const {
    std::lock_guard lock(mutex_);
    return cancels_;
}

}  // namespace orvane
