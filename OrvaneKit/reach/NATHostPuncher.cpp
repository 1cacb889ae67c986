#include "OrvaneKit/reach/NATHostPuncher.h"

namespace orvane {

std::shared_ptr<NATHostPuncher> NATHostPuncher::make(Services services) {
    if (!services.discover) services.discover = &STUNClient::discover;
    return std::shared_ptr<NATHostPuncher>(new NATHostPuncher(std::move(services)));
}

NATHostPuncher::NATHostPuncher(Services services) : s_(std::move(services)) {}

NATHostPuncher::~NATHostPuncher() {
    if (listener_) listener_->cancel();
}

void NATHostPuncher::setOnConnection(ConnectionHandler handler) {
    std::lock_guard lock(mutex_);
    onConnection_ = std::move(handler);
}

void NATHostPuncher::start(PunchKeySource key, const SettingsStore& settings, Started done) {
    if (!NATHolePunch::isEnabled(settings)) {
        if (done) done(std::nullopt);
        return;
    }
    std::optional<STUNDiscovery> known;
    bool begin = false;
    {
        std::lock_guard lock(mutex_);
        if (!started_)
            started_ = begin = true;
        else if (reflexive_)
            known = STUNDiscovery{*reflexive_, localPort_};
    }
    if (!begin) {
        if (done) done(known);
        return;
    }
    std::weak_ptr<NATHostPuncher> weak = weak_from_this();
    s_.discover(s_.executor, NATHolePunch::stunServer(settings),
                std::chrono::duration<double>(NATHolePunch::stunTimeoutSeconds),
                [weak, key = std::move(key),
                 done = std::move(done)](std::optional<STUNDiscovery> found) mutable {
                    auto self = weak.lock();
                    if (!self) {
                        if (done) done(std::nullopt);
                        return;
                    }
                    self->discovered(std::move(found), std::move(key), std::move(done));
                });
}

void NATHostPuncher::discovered(std::optional<STUNDiscovery> found, PunchKeySource key,
                                Started done) {
    if (!found || found->localPort == 0) {
        // No answer: a later start may ask again.
        std::lock_guard lock(mutex_);
        started_ = false;
        if (done) done(std::nullopt);
        return;
    }
    {
        std::lock_guard lock(mutex_);
        reflexive_ = found->reflexive;
        localPort_ = found->localPort;
    }
    std::shared_ptr<HolePunchListener> listener;
    std::optional<NetError> error;
    try {
        listener = s_.listeners(found->localPort, std::move(key));
    } catch (const std::exception& e) {
        error = NetError{NetError::Kind::posix, 0, e.what()};
    }
    if (listener) {
        std::weak_ptr<NATHostPuncher> weak = weak_from_this();
        listener->setConnectionHandler([weak](std::shared_ptr<Transport> connection) {
            ConnectionHandler handler;
            if (auto self = weak.lock()) {
                std::lock_guard lock(self->mutex_);
                handler = self->onConnection_;
            }
            if (handler)
                handler(std::move(connection));
            else
                connection->cancel();
        });
        error = listener->start();
    } else if (!error) {
        error = NetError{NetError::Kind::posix, 0, "no QUIC listener in this build"};
    }
    if (error) {
        log_.error("NAT: QUIC listener failed: {}", error->text);
    } else {
        std::shared_ptr<HolePunchListener> previous;
        {
            std::lock_guard lock(mutex_);
            previous = std::exchange(listener_, listener);
        }
        if (previous) previous->cancel();
        log_.notice("NAT: QUIC hole-punch listener up on port {}", found->localPort);
    }
    if (done) done(found);
}

std::optional<STUNReflexive> NATHostPuncher::reflexive() const {
    std::lock_guard lock(mutex_);
    return reflexive_;
}

std::uint16_t NATHostPuncher::localPort() const {
    std::lock_guard lock(mutex_);
    return localPort_;
}

bool NATHostPuncher::listening() const {
    std::lock_guard lock(mutex_);
    return listener_ != nullptr;
}

void NATHostPuncher::punch(const std::string& host, std::uint16_t port) {
    std::shared_ptr<HolePunchListener> listener;
    {
        std::lock_guard lock(mutex_);
        listener = listener_;
    }
    if (!listener || port == 0 || host.empty()) return;
    // From the listener's own socket: the NAT mapping opened is the one the viewer dials.
    for (int i = 0; i < punchDatagrams; ++i) listener->sendRaw({host, port}, Bytes{punchByte});
}

void NATHostPuncher::stop() {
    std::shared_ptr<HolePunchListener> listener;
    {
        std::lock_guard lock(mutex_);
        listener = std::exchange(listener_, nullptr);
        started_ = false;
    }
    if (listener) listener->cancel();
}

}  // namespace orvane
