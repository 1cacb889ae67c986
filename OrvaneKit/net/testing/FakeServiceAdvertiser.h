#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "OrvaneKit/net/ServiceAdvertiser.h"

namespace orvane {

// An in-memory name service. stateChanged is emitted on the calling thread, before the call
// returns. Taken names are renamed the way the real daemon does ("Name" → "Name #2" → "Name #3").
class FakeServiceAdvertiser final : public ServiceAdvertiser {
public:
    struct Registration {
        std::string name, type;
        std::uint16_t port = 0;
        bool operator==(const Registration&) const = default;
    };

    void advertise(const std::string& name, const std::string& type, std::uint16_t port) override;
    void withdraw() override;
    State state() const override;

    // The scripted world. Without a daemon a wish waits; when it starts, the wish is registered.
    void setDaemonRunning(bool running);
    // Another service on the network holds `name`.
    void takeName(const std::string& name);
    // Off: registrations stay in `registering` until establish().
    void setEstablishAtOnce(bool atOnce);
    void establish();
    void failRegistration(const std::string& error);

    // What the network sees: set once registered.
    std::optional<Registration> published() const;
    // Registrations made (first ones and re-registrations alike).
    int registrations() const;
    // "advertise <name> <type> <port>" and "withdraw", in call order.
    std::vector<std::string> calls() const;
    // Also hands each call text to a shared, ordered log of fakes. Set before use.
    std::function<void(const std::string&)> onCall;

    static std::string alternativeName(const std::string& name);

private:
    struct Wish {
        std::string name, type;
        std::uint16_t port = 0;
        bool operator==(const Wish&) const = default;
    };
    // Each returns the state to emit, if it changed; called with the lock held.
    std::optional<State> registerLocked();
    std::optional<State> setLocked(State next);
    void emitIfAny(std::optional<State> s);

    mutable std::mutex mutex_;
    std::optional<Wish> wish_;
    State state_;
    bool daemon_ = true;
    bool atOnce_ = true;
    std::set<std::string> taken_;
    std::optional<Registration> published_;
    int registrations_ = 0;
    std::vector<std::string> calls_;
};

}  // namespace orvane
