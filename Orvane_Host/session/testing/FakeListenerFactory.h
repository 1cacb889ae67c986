#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "OrvaneKit/base/Errors.h"
#include "Orvane_Host/session/ISessionListener.h"

namespace orvane {

// A listener the test drives: it reports what the test tells it to, synchronously.
class FakeListener final : public ISessionListener {
public:
    FakeListener(std::uint16_t port, SessionParams params) : requestedPort(port), params(params) {}
    void setStateHandler(StateHandler h) override { stateHandler = std::move(h); }
    void setNewConnectionHandler(ConnectionHandler h) override { connectionHandler = std::move(h); }
    void start() override { started = true; }
    void cancel() override;
    void rekey(const SessionParams& p) override {
        params = p;
        ++rekeys;
        if (onRekey) onRekey();
    }
    std::uint16_t port() const override { return boundPort; }

    void emitReady(std::uint16_t port = 5895);
    void emitFailed(NetError error);
    void emitConnection(std::shared_ptr<Transport> connection);

    const std::uint16_t requestedPort;
    SessionParams params;
    int rekeys = 0;
    std::uint16_t boundPort = 0;
    bool started = false;
    bool cancelled = false;
    StateHandler stateHandler;
    ConnectionHandler connectionHandler;
    std::function<void()> onRekey;
};

class FakeListenerFactory final : public ISessionListenerFactory {
public:
    std::shared_ptr<ISessionListener> make(std::uint16_t port,
                                           const SessionParams& params) override;

    // The next make() throws this instead.
    std::optional<PlatformError> failNextMake;
    std::vector<std::shared_ptr<FakeListener>> made;
    std::shared_ptr<FakeListener> last() const { return made.empty() ? nullptr : made.back(); }
    // Called with "listener.make <port>" for each make, when set.
    std::function<void(std::string)> record;
};

}  // namespace orvane
