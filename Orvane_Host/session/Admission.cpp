#include "Orvane_Host/session/Admission.h"

#include <algorithm>

#include "OrvaneKit/base/BoundedText.h"
#include "OrvaneKit/protocol/Json.h"
#include "OrvaneKit/security/AuthToken.h"

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

Admission::Admission(const SessionServices& services, std::weak_ptr<void> core, Host& host)
    : SessionPart(services, std::move(core)), host_(host) {}

bool Admission::isListed(const std::shared_ptr<RemoteClient>& client) const {
    const auto& clients = host_.clients();
    return std::any_of(clients.begin(), clients.end(),
                       [&](const auto& c) { return c->id == client->id; });
}

void Admission::helloReceived(ByteView body, const std::shared_ptr<RemoteClient>& client) {
    onMainActor();
    if (client->hello()) return;
    auto hello = json::decode<Hello>(body);
    if (!hello) return;
    client->setHello(*hello);
    client->isSupport = host_.supportCode().has_value();
    host_.publishClients();

    auto fingerprint = client->connection->peerFingerprint();
    if (!client->isSupport) {
        if (fingerprint) {
            const auto& stopped = host_.recentlyStopped();
            auto it = stopped.find(*fingerprint);
            if (it != stopped.end() && s_.clock.monoNow() - it->second < recentlyStoppedWindow) {
                host_.endSession(client, stoppedReason);
                return;
            }
        }
        bool sharer = hello->role == ClientRole::screenSharer;
        if (!sharer && fingerprint) {
            for (const auto& other : host_.clients()) {
                if (other->id == client->id || !other->authorized() || other->isScreenSharer())
                    continue;
                auto theirs = other->connection->peerFingerprint();
                if (!theirs || *theirs != *fingerprint) continue;
                client->setCanControl(other->canControl());
                admit(client, false);
                return;
            }
        }
        const auto& trusted = host_.trustedDevices();
        if (host_.unattendedAccess() && fingerprint &&
            std::any_of(trusted.begin(), trusted.end(),
                        [&](const TrustedDevice& d) { return d.id == *fingerprint; })) {
            admit(client, true);
            return;
        }
        // A token never set up matches nothing, least of all an empty one from the peer.
        const auto& token = host_.iCloudAuthToken();
        if (hello->iCloudToken && !token.empty() &&
            AuthToken::constantTimeEquals(*hello->iCloudToken, token)) {
            if (fingerprint) host_.trust(deviceFrom(*fingerprint, *hello));
            admit(client, true);
            return;
        }
    }
    if (host_.askBeforeConnecting() || client->isSupport)
        askApproval(client);
    else
        admit(client, false);
}

void Admission::admit(const std::shared_ptr<RemoteClient>& client, bool withoutAsking) {
    onMainActor();
    if (!isListed(client)) return;
    if (client->isScreenSharer()) {
        host_.showSharedScreen(client, withoutAsking);
        return;
    }
    client->setAuthorized(true);
    client->noteActivity();
    s_.history.recordConnected(*client, withoutAsking);
    std::string name = client->displayName();
    if (withoutAsking && !client->isSupport)
        s_.notifier.post(
            name + " connected without asking",
            "A trusted device was let in. You can turn this off in Settings under Security.");
    host_.viewerAdmitted(client);
    s_.notifier.post(name + " connected", "Your screen is being shared.");
}

std::uint64_t Admission::showAlert(const std::shared_ptr<RemoteClient>& client, AlertSpec spec,
                                   std::function<void(int)> done) {
    std::uint64_t token = ++nextAlert_;
    Uuid id = client->id;
    // An alert may be answered before show() returns; then there is nothing to keep.
    auto answered = std::make_shared<bool>(false);
    AlertHandle handle = s_.alerts.show(
        std::move(spec), [this, core = core_, id, token, answered, done](int response) {
            *answered = true;
            if (auto keep = core.lock()) {
                auto it = alerts_.find(id);
                if (it != alerts_.end()) {
                    it->second.erase(token);
                    if (it->second.empty()) alerts_.erase(it);
                }
                noteAlertsChanged();
            }
            done(response);
        });
    if (!*answered) {
        alerts_[id][token] = std::move(handle);
        host_.setApprovingClientID(id);
    }
    return token;
}

void Admission::noteAlertsChanged() {
    // The newest alert still up names the client being asked about.
    std::optional<Uuid> asking;
    std::uint64_t newest = 0;
    for (const auto& [id, handles] : alerts_)
        if (!handles.empty() && handles.rbegin()->first >= newest) {
            newest = handles.rbegin()->first;
            asking = id;
        }
    host_.setApprovingClientID(asking);
}

std::size_t Admission::openAlerts(const Uuid& client) const {
    auto it = alerts_.find(client);
    return it == alerts_.end() ? 0 : it->second.size();
}

void Admission::abortAlerts(const Uuid& client) {
    onMainActor();
    auto pending = alerts_.find(client);
    if (pending == alerts_.end()) return;
    auto handles = std::move(pending->second);
    alerts_.erase(pending);
    for (auto& [token, handle] : handles) handle.abort();
    noteAlertsChanged();
}

AlertSpec Admission::confirmationSpec(const std::string& deviceName) {
    return {"Let " + deviceName + " in without asking?",
            "From now on, this device can connect to this Mac whenever the Mac is on, without "
            "anyone clicking Allow. It still needs the access code and its own security key. You "
            "will get a notification each time, and every session is listed in Session History. "
            "You can turn this off, or forget the device, in Settings under Security.",
            {unattendedConfirmButton, "Just This Time"}};
}

void Admission::askApproval(const std::shared_ptr<RemoteClient>& client) {
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

    showAlert(client, std::move(spec), [this, core = core_, client, offeredAlways](int response) {
        auto keep = core.lock();
        if (!keep || response == AlertResponse::aborted || !isListed(client)) return;
        if (response == AlertResponse::firstButton) {
            admit(client, false);
            return;
        }
        if (response == AlertResponse::secondButton && offeredAlways) {
            auto hello = client->hello();
            auto fingerprint = client->connection->peerFingerprint();
            if (hello && fingerprint) {
                auto done = whileAlive([this, client, fp = *fingerprint, h = *hello](bool yes) {
                    if (yes) {
                        host_.trust(deviceFrom(fp, h));
                        host_.setUnattendedAccess(true);
                    }
                    admit(client, false);
                });
                AlertSpec confirm = confirmationSpec(client->displayName());
                showAlert(client, std::move(confirm), [done](int r) mutable {
                    // Removal aborts the confirmation too; such a client is not let in.
                    if (r == AlertResponse::aborted) return;
                    done(r == AlertResponse::firstButton);
                });
                return;
            }
        }
        s_.history.recordDeclined(*client);
        host_.endSession(client, declinedReason);
    });
}

void Admission::watchHello(const std::shared_ptr<RemoteClient>& client) {
    std::weak_ptr<RemoteClient> weakClient = client;
    s_.timers.after(helloTimeout, s_.mainActor.executor(), whileAlive([this, weakClient] {
                        auto c = weakClient.lock();
                        if (!c || c->hello() || !isListed(c)) return;
                        c->connection->cancel();
                        host_.removeClient(c, std::nullopt);
                    }));
}

}  // namespace orvane
