#include "Orvane_Host/session/testing/FakeListenerFactory.h"

namespace orvane {

void FakeListener::cancel() {
    if (cancelled) return;
    cancelled = true;
    if (stateHandler) stateHandler(conn::Cancelled{});
}

void FakeListener::emitReady(std::uint16_t port) {
    boundPort = port;
    if (stateHandler) stateHandler(conn::Ready{});
}

void FakeListener::emitFailed(NetError error) {
    boundPort = 0;
    if (stateHandler) stateHandler(conn::Failed{std::move(error)});
}

void FakeListener::emitConnection(std::shared_ptr<Transport> connection) {
    if (connectionHandler) connectionHandler(std::move(connection));
}

std::shared_ptr<ISessionListener> FakeListenerFactory::make(std::uint16_t port,
                                                            const SessionParams& params) {
    if (record) record("listener.make " + std::to_string(port));
    if (failNextMake) {
        auto e = *failNextMake;
        failNextMake.reset();
        throw e;
    }
    auto l = std::make_shared<FakeListener>(port, params);
    made.push_back(l);
    return l;
}

}  // namespace orvane
