// Who gets in: the Hello rules, admitting, the approval alert and the Hello timeout.

#include <algorithm>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>

#include "OrvaneKit/base/BoundedText.h"
#include "OrvaneKit/protocol/Json.h"
#include "OrvaneKit/security/AuthToken.h"
#include "Orvane_Host/session/HostController.h"

namespace orvane {

namespace {

constexpr auto helloTimeout = std::chrono::seconds(10);

TrustedDevice deviceFrom(const std::string& fingerprint, const Hello& hello) {
    TrustedDevice d;
    d.id = fingerprint;
    d.name = boundedText(hello.deviceName);
    d.platform = hello.platform;
    return d;
}

}  // namespace

bool HostController::isListed(const std::shared_ptr<RemoteClient>& client) const {
    return std::any_of(clients_.begin(), clients_.end(),
                       [&](const auto& c) { return c->id == client->id; });
}

void HostController::helloReceived(ByteView body, const std::shared_ptr<RemoteClient>& client) {
    onMainActor();
    if (client->hello()) return;
    auto hello = json::decode<Hello>(body);
    if (!hello) return;
    client->setHello(*hello);
    client->isSupport = supportCode_.has_value();
    publishClients();

    auto fingerprint = client->connection->peerFingerprint();
    if (!client->isSupport) {
        if (fingerprint) {
            auto it = recentlyStopped_.find(*fingerprint);
            if (it != recentlyStopped_.end() &&
                s_.clock.monoNow() - it->second < recentlyStoppedWindow) {
                endSession(client, stoppedReason);
                return;
            }
        }
        bool sharer = hello->role == ClientRole::screenSharer;
        if (!sharer && fingerprint) {
            for (const auto& other : clients_) {
                if (other->id == client->id || !other->authorized() || other->isScreenSharer())
                    continue;
                auto theirs = other->connection->peerFingerprint();
                if (!theirs || *theirs != *fingerprint) continue;
                client->setCanControl(other->canControl());
                admit(client, false);
                return;
            }
        }
        if (unattendedAccess_ && fingerprint &&
            std::any_of(trustedDevices_.begin(), trustedDevices_.end(),
                        [&](const TrustedDevice& d) { return d.id == *fingerprint; })) {
            admit(client, true);
            return;
        }
        // A token never set up matches nothing, least of all an empty one from the peer.
        if (hello->iCloudToken && !iCloudAuthToken_.empty() &&
            AuthToken::constantTimeEquals(*hello->iCloudToken, iCloudAuthToken_)) {
            if (fingerprint) trust(deviceFrom(*fingerprint, *hello));
            admit(client, true);
            return;
        }
    }
    if (askBeforeConnecting_ || client->isSupport)
        askApproval(client);
    else
        admit(client, false);
}

void HostController::admit(const std::shared_ptr<RemoteClient>& client, bool withoutAsking) {
    onMainActor();
    if (!isListed(client)) return;
    if (client->isScreenSharer()) {
        showSharedScreen(client, withoutAsking);
        return;
    }
    client->setAuthorized(true);
    client->noteActivity();
    s_.history.recordConnected(*client, withoutAsking);
    std::string name = client->displayName();
    if (withoutAsking && !client->isSupport)
        postUserNotification(
            name + " connected without asking",
            "A trusted device was let in. You can turn this off in Settings under Security.");
    startIdleWatch();
    publishClients();
    spawnDetached([client](HostController& self) { return self.startStreaming(client); });
    postUserNotification(name + " connected", "Your screen is being shared.");
}

std::uint64_t HostController::showAlert(const std::shared_ptr<RemoteClient>& client, AlertSpec spec,
                                        std::function<void(int)> done) {
    std::uint64_t token = ++nextAlert_;
    Uuid id = client->id;
    std::weak_ptr<HostController> weak = weak_from_this();
    // An alert may be answered before show() returns; then there is nothing to keep.
    auto answered = std::make_shared<bool>(false);
    AlertHandle handle =
        s_.alerts.show(std::move(spec), [weak, id, token, answered, done](int response) {
            *answered = true;
            if (auto self = weak.lock()) {
                auto it = self->alerts_.find(id);
                if (it != self->alerts_.end()) {
                    it->second.erase(token);
                    if (it->second.empty()) self->alerts_.erase(it);
                }
                self->noteAlertsChanged();
            }
            done(response);
        });
    if (!*answered) {
        alerts_[id][token] = std::move(handle);
        setApprovingClientID(id);
    }
    return token;
}

void HostController::noteAlertsChanged() {
    // The newest alert still up names the client being asked about.
    std::optional<Uuid> asking;
    std::uint64_t newest = 0;
    for (const auto& [id, handles] : alerts_)
        if (!handles.empty() && handles.rbegin()->first >= newest) {
            newest = handles.rbegin()->first;
            asking = id;
        }
    setApprovingClientID(asking);
}

std::size_t HostController::openAlerts(const Uuid& client) const {
    auto it = alerts_.find(client);
    return it == alerts_.end() ? 0 : it->second.size();
}

void HostController::askApproval(const std::shared_ptr<RemoteClient>& client) {
    onMainActor();
    std::string name = client->displayName();
    AlertSpec spec;
    if (client->isScreenSharer()) {
        spec.message = "Show " + name + "'s screen on this Mac?";
        spec.informativeText =
            "They entered the correct access code and want to share their screen with you. "
            "They won't see or control this Mac.";
    } else {
        spec.message = "Allow " + name + " to control this Mac?";
        spec.informativeText =
            "They entered the correct access code. They will see your screen and be able to use "
            "your mouse and keyboard.";
    }
    spec.symbol = client->symbolName();
    bool offeredAlways = client->connection->peerFingerprint().has_value();
    spec.buttons.push_back("Allow");
    if (offeredAlways) spec.buttons.push_back("Always Allow This Device");
    spec.buttons.push_back("Deny");

    std::weak_ptr<HostController> weak = weak_from_this();
    showAlert(client, std::move(spec), [weak, client, offeredAlways](int response) {
        auto self = weak.lock();
        if (!self || response == AlertResponse::aborted || !self->isListed(client)) return;
        if (response == AlertResponse::firstButton) {
            self->admit(client, false);
            return;
        }
        if (response == AlertResponse::secondButton && offeredAlways) {
            auto hello = client->hello();
            auto fingerprint = client->connection->peerFingerprint();
            if (hello && fingerprint) {
                std::weak_ptr<HostController> weak2 = self;
                auto done = [weak2, client, fp = *fingerprint, h = *hello](bool yes) {
                    auto me = weak2.lock();
                    if (!me) return;
                    if (yes) {
                        me->trust(deviceFrom(fp, h));
                        me->setUnattendedAccess(true);
                    }
                    me->admit(client, false);
                };
                AlertSpec confirm = confirmationSpec(client->displayName());
                self->showAlert(client, std::move(confirm), [done](int r) {
                    // Removal aborts the confirmation too; such a client is not let in.
                    if (r == AlertResponse::aborted) return;
                    done(r == AlertResponse::firstButton);
                });
                return;
            }
        }
        self->s_.history.recordDeclined(*client);
        self->endSession(client, declinedReason);
    });
}

void HostController::watchHello(const std::shared_ptr<RemoteClient>& client) {
    std::weak_ptr<HostController> weak = weak_from_this();
    std::weak_ptr<RemoteClient> weakClient = client;
    s_.timers.after(helloTimeout, s_.mainActor.executor(), [weak, weakClient] {
        auto self = weak.lock();
        auto c = weakClient.lock();
        if (!self || !c || c->hello() || !self->isListed(c)) return;
        c->connection->cancel();
        self->removeClient(c);
    });
}

}  // namespace orvane
