#include "OrvaneKit/net/ngtcp2/QuicHolePunchListener.h"

namespace orvane {

namespace {

class QuicHolePunchListener final : public HolePunchListener {
public:
    explicit QuicHolePunchListener(std::shared_ptr<QuicServerEndpoint> endpoint)
        : endpoint_(std::move(endpoint)) {}
    ~QuicHolePunchListener() override { endpoint_->cancel(); }

    void setConnectionHandler(ConnectionHandler handler) override {
        endpoint_->setConnectionHandler(std::move(handler));
    }
    std::optional<NetError> start() override { return endpoint_->start(); }
    void cancel() override { endpoint_->cancel(); }
    void sendRaw(HostPort destination, Bytes datagram) override {
        endpoint_->sendRaw(std::move(destination), std::move(datagram));
    }
    std::uint16_t port() const override { return endpoint_->port(); }

private:
    std::shared_ptr<QuicServerEndpoint> endpoint_;
};

}  // namespace

std::shared_ptr<HolePunchListener> makeQuicHolePunchListener(
    NetContext& net, std::uint16_t port, PunchKeySource key, QuicSettings settings,
    std::optional<std::string> bindAddress) {
    QuicServerEndpoint::Options o;
    o.port = port;
    o.bindAddress = std::move(bindAddress);
    o.key = std::move(key);
    o.settings = settings;
    return std::make_shared<QuicHolePunchListener>(QuicServerEndpoint::make(net, std::move(o)));
}

HolePunchListenerFactory quicHolePunchListeners(NetContext& net, QuicSettings settings,
                                                std::optional<std::string> bindAddress) {
    return [&net, settings, bindAddress](std::uint16_t port, PunchKeySource key) {
        return makeQuicHolePunchListener(net, port, std::move(key), settings, bindAddress);
    };
}

}  // namespace orvane
