#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "OrvaneKit/reach/Connector.h"

namespace orvane {

// A race attempt driven by the test: it reports whatever state the test gives it.
class FakeAttempt final : public DialAttempt {
public:
    explicit FakeAttempt(std::string key) : key(std::move(key)) {}
    void setOnStateChange(StateHandler handler) override;
    void start() override;
    void cancel() override;
    std::optional<SecureChannelError> securityFailure() const override;

    // Runs the installed handler (nothing once the race removed it).
    void report(const ConnState& state);
    // Stores a secure-channel failure and reports failed(EAUTH), as a connection does.
    void failSecurely(SecureChannelError error);

    const std::string key;
    bool started() const;
    bool cancelled() const;
    bool hasHandler() const;

private:
    mutable std::mutex mutex_;
    StateHandler handler_;
    bool started_ = false;
    bool cancelled_ = false;
    std::optional<SecureChannelError> security_;
};

// Makes FakeAttempts and keeps them in order; `onMake` runs inside make() before it returns.
class FakeDialer final : public Dialer {
public:
    std::shared_ptr<DialAttempt> make(const ConnectCandidate& candidate,
                                      const std::string& accessCode,
                                      const std::optional<std::string>& fingerprint) override;
    std::vector<std::shared_ptr<FakeAttempt>> attempts() const;
    std::shared_ptr<FakeAttempt> attempt(std::size_t i) const { return attempts().at(i); }
    std::vector<std::string> keys() const;

    std::function<void(const ConnectCandidate&)> onMake;

private:
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<FakeAttempt>> attempts_;
};

}  // namespace orvane
