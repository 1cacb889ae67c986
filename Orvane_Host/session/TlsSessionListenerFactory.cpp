#include "Orvane_Host/session/TlsSessionListenerFactory.h"

#include "OrvaneKit/net/TlsPskListener.h"

namespace orvane {

namespace {

class TlsSessionListener final : public ISessionListener {
public:
    explicit TlsSessionListener(std::shared_ptr<TlsPskListener> l) : l_(std::move(l)) {}
    ~TlsSessionListener() override { l_->cancel(); }
    void setStateHandler(StateHandler h) override { l_->setStateHandler(std::move(h)); }
    void setNewConnectionHandler(ConnectionHandler h) override {
        l_->setNewConnectionHandler(std::move(h));
    }
    void start() override { l_->start(); }
    void cancel() override { l_->cancel(); }
    void rekey(const SessionParams& params) override { l_->rekey(params); }
    std::uint16_t port() const override { return l_->port(); }

private:
    std::shared_ptr<TlsPskListener> l_;
};

}  // namespace

std::shared_ptr<ISessionListener> TlsSessionListenerFactory::make(std::uint16_t port,
                                                                  const SessionParams& params) {
    TlsPskListener::Options options;
    options.port = port;
    options.bindAddress = bindAddress_;
    options.params = params;
    return std::make_shared<TlsSessionListener>(TlsPskListener::make(net_, std::move(options)));
}

}  // namespace orvane
