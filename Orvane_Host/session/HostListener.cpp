// The host's front door: the session listener, accepting connections and wrong codes.

#include <algorithm>
#include <atomic>

#include "OrvaneKit/protocol/MessageType.h"
#include "OrvaneKit/security/AccessCode.h"
#include "Orvane_Host/session/EndpointText.h"
#include "Orvane_Host/session/HostController.h"
#include "Orvane_Host/session/SecureSessionConnection.h"

namespace orvane {

namespace {

constexpr auto listenerRestartDelay = std::chrono::seconds(1);

std::string describeError(const NetError& e) {
    return e.text.empty() ? describe(e) : e.text;
}

}  // namespace

void HostController::setFrontDoor(FrontDoor door) {
    door_.emplace(std::move(door));
}

double HostController::guardNow() const {
    return std::chrono::duration<double>(s_.clock.monoNow().time_since_epoch()).count();
}

void HostController::startListener() {
    onMainActor();
    // A client failing while the host shuts down must not bring the listener back.
    if (!door_ || isShuttingDown_) return;
    listenerRestart_.cancel();
    const std::string& code = supportCode_ ? *supportCode_ : accessCode_;
    SessionParams params = AccessCode::pskParameters(code, true);
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
    std::shared_ptr<SessionListener> l;
    try {
        l = door_->listeners.make(door_->port, params);
    } catch (const std::exception& e) {
        // TLS settings that cannot be applied do not get better by retrying.
        setListenerState(std::string("Error: ") + e.what());
        return;
    }
    std::weak_ptr<HostController> weak = weak_from_this();
    std::weak_ptr<SessionListener> weakListener = l;
    auto& actor = s_.mainActor;
    l->setStateHandler([weak, weakListener, &actor](const ConnState& state) {
        actor.postTo(weak, [weakListener, state](HostController& self) {
            auto current = weakListener.lock();
            if (current && self.listener_ == current) self.listenerStateChanged(state);
        });
    });
    Logger lg = log;
    l->setNewConnectionHandler([weak, &actor, lg](std::shared_ptr<Transport> connection) {
        auto remote = connection->remoteEndpoint();
        lg.info("new connection from {}",
                remote ? remote->host + " port " + std::to_string(remote->port) : "?");
        actor.post([weak, connection = std::move(connection)]() mutable {
            if (auto self = weak.lock())
                self->accept(std::move(connection));
            else
                connection->cancel();
        });
    });
    l->start();
    listener_ = l;
}

void HostController::listenerStateChanged(const ConnState& state) {
    onMainActor();
    listenerReady_ = std::holds_alternative<conn::Ready>(state);
    if (std::holds_alternative<conn::Ready>(state)) {
        std::uint16_t port = door_->port ? door_->port : listener_->port();
        setListenerState("Ready on port " + std::to_string(port));
        log.info("listener ready");
        // Same name and port as before keeps the registration, so restarts do not flap it.
        door_->advertiser.advertise(door_->machineName(), std::string(bonjourServiceType),
                                    listener_->port());
    } else if (auto* w = std::get_if<conn::Waiting>(&state)) {
        setListenerState("Waiting: " + describeError(w->error));
    } else if (auto* f = std::get_if<conn::Failed>(&state)) {
        std::string text = describeError(f->error);
        setListenerState("Error: " + text);
        log.error("listener failed: {}; retrying", text);
        std::weak_ptr<HostController> weak = weak_from_this();
        listenerRestart_ = s_.timers.after(listenerRestartDelay, s_.mainActor.executor(), [weak] {
            if (auto self = weak.lock(); self && !self->isShuttingDown_) self->startListener();
        });
    }
}

void HostController::accept(std::shared_ptr<Transport> connection) {
    onMainActor();
    std::string address = endpointText(connection->remoteEndpoint());
    if (bruteForce_.isBlocked(address, guardNow())) {
        connection->cancel();
        return;
    }
    const std::string code = supportCode_ ? *supportCode_ : accessCode_;
    ConnectionEnvironment env = door_ ? door_->connections : ConnectionEnvironment{};
    auto secure = OrvaneConnection::makeServer(std::move(connection), code, env);
    auto client = RemoteClient::make(std::make_shared<SecureSessionConnection>(secure), s_.clock,
                                     s_.screens.mainDisplayID());
    client->address = address;
    auto list = clients_;
    list.push_back(client);
    setClients(std::move(list));

    std::weak_ptr<HostController> weak = weak_from_this();
    std::weak_ptr<RemoteClient> weakClient = client;
    secure->setOnMessage([weakClient, tier = connectionTier()](MessageType type, Bytes body) {
        if (auto c = weakClient.lock()) receive(type, std::move(body), c, tier);
    });
    // Later reports of a connection that failed its handshake still carry the failure; the flag
    // keeps one wrong code from counting several times against the guard.
    auto counted = std::make_shared<std::atomic<bool>>(false);
    std::weak_ptr<OrvaneConnection> weakSecure = secure;
    auto& actor = s_.mainActor;
    Logger lg = log;
    secure->setOnStateChange(
        [weak, weakClient, weakSecure, address, counted, &actor, lg](const ConnState& state) {
            lg.info("client state {}", describe(state));
            bool securityFailed = false;
            if (auto s = weakSecure.lock(); s && !weakClient.expired())
                securityFailed = s->securityFailure().has_value();
            bool wrongCode = (isTlsFailure(state) || securityFailed) && !counted->exchange(true);
            actor.postTo(weak, [weakClient, address, state, wrongCode](HostController& self) {
                self.clientStateChanged(state, weakClient, address, wrongCode);
            });
        });
    secure->start();
    watchHello(client);
}

void HostController::clientStateChanged(const ConnState& state,
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
            removeClient(c);
        }
        if (authenticated) restartListenerAfterFailure();
    } else if (std::holds_alternative<conn::Cancelled>(state)) {
        if (auto c = client.lock()) removeClient(c);
    }
}

void HostController::noteWrongCode(const std::string& address) {
    onMainActor();
    s_.history.recordWrongCode(address);
    if (!bruteForce_.recordFailure(address, guardNow())) return;
    log.info("blocking {} for 15 minutes after repeated wrong codes", priv(address));
    postUserNotification("Blocked repeated wrong codes",
                         "A device kept entering the wrong access code, so Orvane blocked it for "
                         "15 minutes.");
}

void HostController::restartListenerAfterFailure() {
    onMainActor();
    log.info("restarting listener after a failed connection");
    startListener();
}

void HostController::onStreamsStopped(std::optional<std::string> error) {
    s_.mainActor.postTo(weak_from_this(), [error = std::move(error)](HostController& self) {
        self.setIsStreaming(false);
        self.setLastError(error);
    });
}

void HostController::postUserNotification(const std::string& title, const std::string& body) {
    s_.notifier.post(title, body);
}

}  // namespace orvane
