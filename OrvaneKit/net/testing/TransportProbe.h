#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "OrvaneKit/net/Transport.h"

namespace orvane {

// Watches a transport for tests: records every state report, and once ready keeps one read
// armed and collects the bytes, the end of stream or the read error.
class TransportProbe {
public:
    struct Snapshot {
        std::vector<ConnState> states;
        Bytes received;
        bool eof = false;
        std::optional<NetError> readError;
        int cancelledCount = 0;
        bool has(const ConnState& s) const;
        const ConnState* last() const { return states.empty() ? nullptr : &states.back(); }
    };

    explicit TransportProbe(std::shared_ptr<Transport> transport, bool autoRead = true);

    // Waits (bounded) until `pred` holds for the recorded snapshot; returns whether it did.
    bool waitFor(const std::function<bool(const Snapshot&)>& pred,
                 std::chrono::milliseconds timeout = std::chrono::seconds(10));
    bool waitForState(const std::function<bool(const ConnState&)>& pred,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10));
    bool waitForBytes(std::size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    Snapshot snapshot() const;

    // Writes and waits for the completion; returns its error.
    std::optional<NetError> writeAndWait(std::vector<Bytes> buffers);

private:
    struct Shared {
        std::mutex mutex;
        std::condition_variable cv;
        Snapshot snap;
    };
    static void readLoop(std::weak_ptr<Transport> weak, std::shared_ptr<Shared> shared);

    std::shared_ptr<Transport> transport_;
    std::shared_ptr<Shared> shared_;
};

template <class S>
bool holds(const ConnState& state) {
    return std::holds_alternative<S>(state);
}

}  // namespace orvane
