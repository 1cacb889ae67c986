#include "Orvane_Host/session/FrontDoor.h"

#include <atomic>

#include "OrvaneKit/security/AccessCode.h"
#include "Orvane_Host/session/EndpointText.h"
#include "Orvane_Host/session/SecureSessionConnection.h"
#include "Orvane_Host/system/MachineName.h"

namespace orvane {

namespace {

constexpr auto listenerRestartDelay = std::chrono::seconds(1);

std::string describeError(const NetError& e) {
    return e.text.empty() ? describe(e) : e.text;
}

}  // namespace

FrontDoor::FrontDoor(const SessionServices& services, std::weak_ptr<void> core, Host& host)
    : SessionPart(services, std::move(core)), host_(host) {}

void FrontDoor::configure(FrontDoorConfig config) {
    config_.emplace(std::move(config));
}

std::string FrontDoor::machineName() const {
    return config_ ? config_->machineName() : macDisplayName();
}

double FrontDoor::guardNow() const {
    return std::chrono::duration<double>(s_.clock.monoNow().time_since_epoch()).count();
}

void FrontDoor::start() {
    onMainActor();
    // A client failing while the host shuts down must not bring the listener back.
    if (!config_ || host_.isShuttingDown()) return;
    restart_.cancel();
    SessionParams params = AccessCode::pskParameters(host_.currentCode(), true);
    {
        std::lock_guard lock(key_->mutex);
        key_->key = params.tls.key;
    }
    params.allowLocalEndpointReuse = true;
    // A listener that works keeps its socket: closing it would refuse viewers until the new one
    // is bound and drop those waiting to be accepted.
    if (listener_ && listenerReady_) {
        try {
            listener_->rekey(params);
            log.info("listener follows the current code");
            return;
        } catch (const std::exception& e) {
            log.error("listener cannot take the current code ({}); opening a new one", e.what());
        }
    }
    listenerReady_ = false;
    if (auto old = std::exchange(listener_, nullptr)) {
        // The old listener's later reports must not touch the text or schedule restarts.
        old->setStateHandler({});
        old->setNewConnectionHandler({});
        old->cancel();
    }
    std::shared_ptr<ISessionListener> l;
    try {
        l = config_->listeners.make(config_->port, params);
    } catch (const std::exception& e) {
        // TLS settings that cannot be applied do not get better by retrying.
        host_.setListenerState(std::string("Error: ") + e.what());
        return;
    }
    std::weak_ptr<ISessionListener> weakListener = l;
    auto& actor = s_.mainActor;
    l->setStateHandler([this, weakListener, &actor, core = core_](const ConnState& state) {
        actor.post([this, weakListener, state, core] {
            auto keep = core.lock();
            auto current = weakListener.lock();
            if (keep && current && listener_ == current) listenerStateChanged(state);
        });
    });
    Logger lg = log;
    l->setNewConnectionHandler(
        [this, &actor, lg, core = core_](std::shared_ptr<Transport> connection) {
            auto remote = connection->remoteEndpoint();
            lg.info("new connection from {}",
                    remote ? remote->host + " port " + std::to_string(remote->port) : "?");
            actor.post([this, core, connection = std::move(connection)]() mutable {
                if (auto keep = core.lock())
                    accept(std::move(connection));
                else
                    connection->cancel();
            });
        });
    l->start();
    listener_ = l;
}

void FrontDoor::close() {
    onMainActor();
    restart_.cancel();
    if (listener_) {
        listener_->setStateHandler({});
        listener_->setNewConnectionHandler({});
        std::exchange(listener_, nullptr)->cancel();
    }
    listenerReady_ = false;
    if (config_) config_->advertiser.withdraw();
}

void FrontDoor::listenerStateChanged(const ConnState& state) {
    onMainActor();
    listenerReady_ = std::holds_alternative<conn::Ready>(state);
    if (std::holds_alternative<conn::Ready>(state)) {
        std::uint16_t port = config_->port ? config_->port : listener_->port();
        host_.setListenerState("Ready on port " + std::to_string(port));
        log.info("listener ready");
        // Same name and port as before keeps the registration, so restarts do not flap it.
        config_->advertiser.advertise(config_->machineName(), std::string(bonjourServiceType),
                                      listener_->port());
    } else if (auto* w = std::get_if<conn::Waiting>(&state)) {
        host_.setListenerState("Waiting: " + describeError(w->error));
    } else if (auto* f = std::get_if<conn::Failed>(&state)) {
        std::string text = describeError(f->error);
        host_.setListenerState("Error: " + text);
        log.error("listener failed: {}; retrying", text);
        restart_ = s_.timers.after(listenerRestartDelay, s_.mainActor.executor(),
                                   whileAlive([this] { start(); }));
    }
}

std::function<Bytes()> FrontDoor::currentKeySource() const {
    return [key = key_] {
        std::lock_guard lock(key->mutex);
        return key->key;
    };
}

void FrontDoor::accept(std::shared_ptr<Transport> connection, bool holePunched) {
    onMainActor();
    std::string address = endpointText(connection->remoteEndpoint());
    if (guard_.isBlocked(address, guardNow())) {
        connection->cancel();
        return;
    }
    ConnectionEnvironment env = config_ ? config_->connections : ConnectionEnvironment{};
    auto secure =
        OrvaneConnection::makeServer(std::move(connection), host_.currentCode(), env, holePunched);
    auto client = RemoteClient::make(std::make_shared<SecureSessionConnection>(secure), s_.clock,
                                     s_.screens.mainDisplayID());
    client->address = address;

    std::weak_ptr<RemoteClient> weakClient = client;
    secure->setOnMessage(
        [weakClient, receive = host_.messageReceiver()](MessageType type, Bytes body) {
            if (auto c = weakClient.lock()) receive(type, std::move(body), c);
        });
    // Later reports of a connection that failed its handshake still carry the failure; the flag
    // keeps one wrong code from counting several times against the guard.
    auto counted = std::make_shared<std::atomic<bool>>(false);
    std::weak_ptr<OrvaneConnection> weakSecure = secure;
    auto& actor = s_.mainActor;
    Logger lg = log;
    secure->setOnStateChange([this, core = core_, weakClient, weakSecure, address, counted, &actor,
                              lg](const ConnState& state) {
        lg.info("client state {}", describe(state));
        bool securityFailed = false;
        if (auto s = weakSecure.lock(); s && !weakClient.expired())
            securityFailed = s->securityFailure().has_value();
        bool wrongCode = (isTlsFailure(state) || securityFailed) && !counted->exchange(true);
        actor.post([this, core, weakClient, address, state, wrongCode] {
            if (auto keep = core.lock()) clientStateChanged(state, weakClient, address, wrongCode);
        });
    });
    host_.clientAccepted(client);
    secure->start();
}

void FrontDoor::clientStateChanged(const ConnState& state,
                                   const std::weak_ptr<RemoteClient>& client,
                                   const std::string& address, bool wrongCode) {
    onMainActor();
    if (wrongCode) noteWrongCode(address);
    if (std::holds_alternative<conn::Failed>(state)) {
        // Only a peer that got as far as its Hello holds the code: anyone who can reach the
        // port could otherwise make the listener restart at will.
        bool authenticated = false;
        if (auto c = client.lock()) {
            authenticated = c->hello().has_value();
            if (!c->endReason) c->endReason = "Connection lost";
            host_.removeClient(c, std::nullopt);
        }
        if (authenticated) restartAfterFailure();
    } else if (std::holds_alternative<conn::Cancelled>(state)) {
        if (auto c = client.lock()) host_.removeClient(c, std::nullopt);
    }
}

void FrontDoor::noteWrongCode(const std::string& address) {
    onMainActor();
    s_.history.recordWrongCode(address);
    if (!guard_.recordFailure(address, guardNow())) return;
    log.info("blocking {} for 15 minutes after repeated wrong codes", priv(address));
    s_.notifier.post("Blocked repeated wrong codes",
                     "A device kept entering the wrong access code, so Orvane blocked it for "
                     "15 minutes.");
}

bool FrontDoor::isBlocked(const std::string& address) const {
    onMainActor();
    return guard_.isBlocked(address, guardNow());
}

void FrontDoor::restartAfterFailure() {
    onMainActor();
    log.info("restarting listener after a failed connection");
    start();
}

}  // namespace orvane
