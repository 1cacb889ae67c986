#include "OrvaneKit/net/testing/TransportProbe.h"

#include <cerrno>
#include <future>

namespace orvane {

bool TransportProbe::Snapshot::has(const ConnState& s) const {
    for (const auto& x : states)
        if (x.index() == s.index()) return true;
    return false;
}

TransportProbe::TransportProbe(std::shared_ptr<Transport> transport, bool autoRead)
    : transport_(std::move(transport)), shared_(std::make_shared<Shared>()) {
    std::weak_ptr<Transport> weak = transport_;
    transport_->setStateHandler([shared = shared_, weak, autoRead](const ConnState& state) {
        {
            std::lock_guard lock(shared->mutex);
            shared->snap.states.push_back(state);
            if (holds<conn::Cancelled>(state)) ++shared->snap.cancelledCount;
        }
        shared->cv.notify_all();
        if (autoRead && holds<conn::Ready>(state)) readLoop(weak, shared);
    });
}

void TransportProbe::readLoop(std::weak_ptr<Transport> weak, std::shared_ptr<Shared> shared) {
    auto transport = weak.lock();
    if (!transport) return;
    transport->read([weak, shared](const ReadResult& r) {
        bool again = false;
        {
            std::lock_guard lock(shared->mutex);
            if (r.error)
                shared->snap.readError = r.error;
            else if (r.eof)
                shared->snap.eof = true;
            else {
                shared->snap.received.insert(shared->snap.received.end(), r.data.begin(),
                                             r.data.end());
                again = true;
            }
        }
        shared->cv.notify_all();
        if (again) readLoop(weak, shared);
    });
}

bool TransportProbe::waitFor(const std::function<bool(const Snapshot&)>& pred,
                             std::chrono::milliseconds timeout) {
    std::unique_lock lock(shared_->mutex);
    return shared_->cv.wait_for(lock, timeout, [&] { return pred(shared_->snap); });
}

bool TransportProbe::waitForState(const std::function<bool(const ConnState&)>& pred,
                                  std::chrono::milliseconds timeout) {
    return waitFor(
        [&](const Snapshot& s) {
            for (const auto& st : s.states)
                if (pred(st)) return true;
            return false;
        },
        timeout);
}

bool TransportProbe::waitForBytes(std::size_t n, std::chrono::milliseconds timeout) {
    return waitFor([n](const Snapshot& s) { return s.received.size() >= n; }, timeout);
}

TransportProbe::Snapshot TransportProbe::snapshot() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->snap;
}

std::optional<NetError> TransportProbe::writeAndWait(std::vector<Bytes> buffers) {
    auto promise = std::make_shared<std::promise<std::optional<NetError>>>();
    auto future = promise->get_future();
    transport_->write(std::move(buffers),
                      [promise](std::optional<NetError> e) { promise->set_value(std::move(e)); });
    if (future.wait_for(std::chrono::seconds(10)) != std::future_status::ready)
        return posixError(ETIMEDOUT, "write did not complete");
    return future.get();
}

}  // namespace orvane
