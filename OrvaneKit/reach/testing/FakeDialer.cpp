#include "OrvaneKit/reach/testing/FakeDialer.h"

#include "OrvaneKit/net/ConnState.h"

namespace orvane {

void FakeAttempt::setOnStateChange(StateHandler handler) {
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
}

void FakeAttempt::start() {
    std::lock_guard lock(mutex_);
    started_ = true;
}

void FakeAttempt::cancel() {
    std::lock_guard lock(mutex_);
    cancelled_ = true;
}

std::optional<SecureChannelError> FakeAttempt::securityFailure() const {
    std::lock_guard lock(mutex_);
    return security_;
}

void FakeAttempt::report(const ConnState& state) {
    StateHandler h;
    {
        std::lock_guard lock(mutex_);
        h = handler_;
    }
    if (h) h(state);
}

void FakeAttempt::failSecurely(SecureChannelError error) {
    {
        std::lock_guard lock(mutex_);
        security_ = std::move(error);
    }
    report(conn::Failed{posixError(80, "Authentication error")});
}

bool FakeAttempt::started() const {
    std::lock_guard lock(mutex_);
    return started_;
}

bool FakeAttempt::cancelled() const {
    std::lock_guard lock(mutex_);
    return cancelled_;
}

bool FakeAttempt::hasHandler() const {
    std::lock_guard lock(mutex_);
    return static_cast<bool>(handler_);
}

std::shared_ptr<DialAttempt> FakeDialer::make(const ConnectCandidate& candidate, const std::string&,
                                              const std::optional<std::string>&) {
    auto a = std::make_shared<FakeAttempt>(Connector::candidateKey(candidate));
    {
        std::lock_guard lock(mutex_);
        attempts_.push_back(a);
    }
    if (onMake) onMake(candidate);
    return a;
}

std::vector<std::shared_ptr<FakeAttempt>> FakeDialer::attempts() const {
    std::lock_guard lock(mutex_);
    return attempts_;
}

std::vector<std::string> FakeDialer::keys() const {
    std::vector<std::string> out;
    for (auto& a : attempts()) out.push_back(a->key);
    return out;
}

}  // namespace orvane
