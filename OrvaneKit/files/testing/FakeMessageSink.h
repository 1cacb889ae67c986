#pragma once

#include <deque>
#include <mutex>
#include <optional>
#include <vector>

#include "OrvaneKit/files/MessageSink.h"

namespace orvane {

// Records every message; completions wait until the test releases them (or, with
// `completeAtOnce`, run inside send()).
class FakeMessageSink final : public MessageSink {
public:
    struct Sent {
        MessageType type;
        Bytes body;
    };

    void send(MessageType type, Bytes body, Completion done = {}) override;

    std::vector<Sent> sent() const;
    std::vector<Sent> sent(MessageType type) const;
    std::size_t pending() const;
    // Completes the oldest waiting send; false when none waits.
    bool completeOne(std::optional<NetError> error = std::nullopt);
    // Completes until nothing waits, including sends made by the completions themselves.
    void completeAll();

    bool completeAtOnce = false;

private:
    mutable std::mutex mutex_;
    std::vector<Sent> sent_;
    std::deque<Completion> waiting_;
};

}  // namespace orvane
