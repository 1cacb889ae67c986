#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "OrvaneKit/protocol/OrvaneConnection.h"

namespace orvane {

// Records what an OrvaneConnection tells its owner (states and opened messages) and lets a test
// wait for it. Installs its handlers at construction.
class ConnectionProbe {
public:
    struct Snapshot {
        std::vector<ConnState> states;
        std::vector<std::pair<MessageType, Bytes>> messages;
        bool has(const ConnState& s) const;  // by kind
        std::size_t count(MessageType t) const;
    };

    explicit ConnectionProbe(const std::shared_ptr<OrvaneConnection>& connection,
                             bool recordMessages = true);

    bool waitFor(const std::function<bool(const Snapshot&)>& pred,
                 std::chrono::milliseconds timeout = std::chrono::seconds(20));
    bool waitForReady() { return waitForKind(conn::Ready{}); }
    bool waitForCancelled() { return waitForKind(conn::Cancelled{}); }
    bool waitForKind(const ConnState& kind);
    bool waitForMessages(std::size_t n);
    Snapshot snapshot() const;

    // Sends and waits for the completion; returns its error.
    static std::optional<NetError> sendAndWait(OrvaneConnection& connection, MessageType type,
                                               Bytes data);

private:
    struct Shared {
        std::mutex mutex;
        std::condition_variable cv;
        Snapshot snap;
    };
    std::shared_ptr<Shared> shared_;
};

// Runs `rounds` empty tasks one after another on the strand, so that work already queued there
// (and what it queues in turn, up to that depth) has run.
void drainStrand(const NetContext::Strand& strand, int rounds = 8);

}  // namespace orvane
