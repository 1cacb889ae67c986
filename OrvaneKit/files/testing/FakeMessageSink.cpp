#include "OrvaneKit/files/testing/FakeMessageSink.h"

namespace orvane {

void FakeMessageSink::send(MessageType type, Bytes body, Completion done) {
    bool now;
    {
        std::lock_guard g(mutex_);
        sent_.push_back({type, std::move(body)});
        now = completeAtOnce;
        if (!now && done) waiting_.push_back(std::move(done));
    }
    if (now && done) done(std::nullopt);
}

std::vector<FakeMessageSink::Sent> FakeMessageSink::sent() const {
    std::lock_guard g(mutex_);
    return sent_;
}

std::vector<FakeMessageSink::Sent> FakeMessageSink::sent(MessageType type) const {
    std::lock_guard g(mutex_);
    std::vector<Sent> out;
    for (const auto& s : sent_)
        if (s.type == type) out.push_back(s);
    return out;
}

std::size_t FakeMessageSink::pending() const {
    std::lock_guard g(mutex_);
    return waiting_.size();
}

bool FakeMessageSink::completeOne(std::optional<NetError> error) {
    Completion done;
    {
        std::lock_guard g(mutex_);
        if (waiting_.empty()) return false;
        done = std::move(waiting_.front());
        waiting_.pop_front();
    }
    done(std::move(error));
    return true;
}

void FakeMessageSink::completeAll() {
    while (completeOne()) {
    }
}

}  // namespace orvane
