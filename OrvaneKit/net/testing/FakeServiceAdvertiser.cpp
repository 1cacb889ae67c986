#include "OrvaneKit/net/testing/FakeServiceAdvertiser.h"

#include <cctype>

namespace orvane {

using Phase = ServiceAdvertiser::State::Phase;

void FakeServiceAdvertiser::advertise(const std::string& name, const std::string& type,
                                      std::uint16_t port) {
    std::string text = "advertise " + name + " " + type + " " + std::to_string(port);
    std::optional<State> change;
    {
        std::lock_guard lock(mutex_);
        calls_.push_back(text);
        Wish w{name, type, port};
        if (wish_ != w || state_.phase == Phase::failed) {
            wish_ = w;
            published_.reset();
            change = daemon_ ? registerLocked() : setLocked({Phase::waitingForDaemon, name, {}});
        }
    }
    if (onCall) onCall(text);
    emitIfAny(change);
}

void FakeServiceAdvertiser::withdraw() {
    std::optional<State> change;
    {
        std::lock_guard lock(mutex_);
        calls_.push_back("withdraw");
        wish_.reset();
        published_.reset();
        change = setLocked({});
    }
    if (onCall) onCall("withdraw");
    emitIfAny(change);
}

ServiceAdvertiser::State FakeServiceAdvertiser::state() const {
    std::lock_guard lock(mutex_);
    return state_;
}

void FakeServiceAdvertiser::setDaemonRunning(bool running) {
    std::optional<State> change;
    {
        std::lock_guard lock(mutex_);
        if (daemon_ == running) return;
        daemon_ = running;
        published_.reset();
        if (wish_)
            change =
                running ? registerLocked() : setLocked({Phase::waitingForDaemon, wish_->name, {}});
    }
    emitIfAny(change);
}

void FakeServiceAdvertiser::takeName(const std::string& name) {
    std::lock_guard lock(mutex_);
    taken_.insert(name);
}

void FakeServiceAdvertiser::setEstablishAtOnce(bool atOnce) {
    std::lock_guard lock(mutex_);
    atOnce_ = atOnce;
}

void FakeServiceAdvertiser::establish() {
    std::optional<State> change;
    {
        std::lock_guard lock(mutex_);
        if (state_.phase != Phase::registering) return;
        published_ = Registration{state_.name, wish_->type, wish_->port};
        change = setLocked({Phase::registered, state_.name, {}});
    }
    emitIfAny(change);
}

void FakeServiceAdvertiser::failRegistration(const std::string& error) {
    std::optional<State> change;
    {
        std::lock_guard lock(mutex_);
        if (!wish_) return;
        published_.reset();
        change = setLocked({Phase::failed, state_.name, error});
    }
    emitIfAny(change);
}

std::optional<FakeServiceAdvertiser::Registration> FakeServiceAdvertiser::published() const {
    std::lock_guard lock(mutex_);
    return published_;
}

int FakeServiceAdvertiser::registrations() const {
    std::lock_guard lock(mutex_);
    return registrations_;
}

std::vector<std::string> FakeServiceAdvertiser::calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
}

std::string FakeServiceAdvertiser::alternativeName(const std::string& name) {
    auto hash = name.rfind(" #");
    if (hash != std::string::npos && hash + 2 < name.size()) {
        bool digits = true;
        for (auto i = hash + 2; i < name.size(); ++i)
            digits = digits && std::isdigit(static_cast<unsigned char>(name[i]));
        if (digits)
            return name.substr(0, hash) + " #" +
                   std::to_string(std::stoll(name.substr(hash + 2)) + 1);
    }
    return name + " #2";
}

std::optional<ServiceAdvertiser::State> FakeServiceAdvertiser::registerLocked() {
    std::string name = wish_->name;
    while (taken_.count(name)) name = alternativeName(name);
    ++registrations_;
    if (atOnce_) {
        published_ = Registration{name, wish_->type, wish_->port};
        return setLocked({Phase::registered, name, {}});
    }
    return setLocked({Phase::registering, name, {}});
}

std::optional<ServiceAdvertiser::State> FakeServiceAdvertiser::setLocked(State next) {
    if (next == state_) return std::nullopt;
    state_ = next;
    return next;
}

void FakeServiceAdvertiser::emitIfAny(std::optional<State> s) {
    if (s) stateChanged.emit(*s);
}

}  // namespace orvane
