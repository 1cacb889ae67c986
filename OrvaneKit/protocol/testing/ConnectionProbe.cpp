#include "OrvaneKit/protocol/testing/ConnectionProbe.h"

#include <asio/post.hpp>
#include <future>

namespace orvane {

bool ConnectionProbe::Snapshot::has(const ConnState& s) const {
    for (const auto& x : states)
        if (x.index() == s.index()) return true;
    return false;
}

std::size_t ConnectionProbe::Snapshot::count(MessageType t) const {
    std::size_t n = 0;
    for (const auto& m : messages) n += m.first == t;
    return n;
}

ConnectionProbe::ConnectionProbe(const std::shared_ptr<OrvaneConnection>& connection,
                                 bool recordMessages)
    : shared_(std::make_shared<Shared>()) {
    connection->setOnStateChange([shared = shared_](const ConnState& state) {
        {
            std::lock_guard lock(shared->mutex);
            shared->snap.states.push_back(state);
        }
        shared->cv.notify_all();
    });
    if (recordMessages)
        connection->setOnMessage([shared = shared_](MessageType type, Bytes body) {
            {
                std::lock_guard lock(shared->mutex);
                shared->snap.messages.emplace_back(type, std::move(body));
            }
            shared->cv.notify_all();
        });
}

bool ConnectionProbe::waitFor(const std::function<bool(const Snapshot&)>& pred,
                              std::chrono::milliseconds timeout) {
    std::unique_lock lock(shared_->mutex);
    return shared_->cv.wait_for(lock, timeout, [&] { return pred(shared_->snap); });
}

bool ConnectionProbe::waitForKind(const ConnState& kind) {
    return waitFor([&](const Snapshot& s) { return s.has(kind); });
}

bool ConnectionProbe::waitForMessages(std::size_t n) {
    return waitFor([&](const Snapshot& s) { return s.messages.size() >= n; });
}

ConnectionProbe::Snapshot ConnectionProbe::snapshot() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->snap;
}

std::optional<NetError> ConnectionProbe::sendAndWait(OrvaneConnection& connection, MessageType type,
                                                     Bytes data) {
    auto done = std::make_shared<std::promise<std::optional<NetError>>>();
    auto result = done->get_future();
    connection.send(type, std::move(data),
                    [done](std::optional<NetError> e) { done->set_value(std::move(e)); });
    if (result.wait_for(std::chrono::seconds(20)) != std::future_status::ready)
        return posixError(-1, "send did not complete");
    return result.get();
}

void drainStrand(const NetContext::Strand& strand, int rounds) {
    for (int i = 0; i < rounds; ++i) {
        std::promise<void> ran;
        asio::post(strand, [&ran] { ran.set_value(); });
        ran.get_future().wait();
    }
}

}  // namespace orvane
