#include "Orvane_Host/session/SessionEnder.h"

#include <algorithm>
#include <asio/post.hpp>

#include "OrvaneKit/base/LargeBuffers.h"
#include "OrvaneKit/protocol/Json.h"
#include "OrvaneKit/protocol/Messages.h"
#include "Orvane_Host/session/Admission.h"

namespace orvane {

namespace {

constexpr auto byeCancelDelay = std::chrono::milliseconds(50);

// Closes the connection on its own queue after `delay`, holding it until then.
void cancelAfter(TimerService& timers, TimerService::Duration delay,
                 std::shared_ptr<ISessionConnection> connection) {
    auto queue = connection->executor();
    timers.after(delay, queue, [connection = std::move(connection)] { connection->cancel(); });
}

bool isViewer(const std::shared_ptr<RemoteClient>& c) {
    return c->authorized() && !c->isScreenSharer();
}

}  // namespace

SessionEnder::SessionEnder(const SessionServices& services, std::weak_ptr<void> core, Host& host)
    : SessionPart(services, std::move(core)), host_(host) {}

void SessionEnder::endSession(const std::shared_ptr<RemoteClient>& client,
                              const std::string& reason) {
    onMainActor();
    auto connection = client->connection;
    if (auto fp = connection->peerFingerprint()) {
        auto stopped = host_.recentlyStopped();
        // Entries past the window block nothing; dropping them keeps the map small.
        auto now = s_.clock.monoNow();
        std::erase_if(stopped, [&](const auto& e) {
            return now - e.second >= Admission::recentlyStoppedWindow;
        });
        stopped[*fp] = now;
        host_.setRecentlyStopped(std::move(stopped));
    }
    if (!client->endReason) client->endReason = reason;
    bool wasSession = client->authorized();
    client->setAuthorized(false);
    auto body = json::encode(Bye{reason});
    TimerService& timers = s_.timers;
    // The completion may run at once, under the connection's send lock: it only arms a timer.
    // Both cancels hold the connection, so it is closed even when the client is gone by then.
    // The completion itself holds it weakly: the connection keeps its pending completions, and a
    // strong hold there would keep the connection alive for as long as the bye is unsent.
    std::weak_ptr<ISessionConnection> weakConnection = connection;
    connection->send(MessageType::bye, body.value_or(Bytes{}),
                     [&timers, weakConnection](std::optional<NetError>) {
                         auto c = weakConnection.lock();
                         if (c) cancelAfter(timers, byeCancelDelay, std::move(c));
                     });
    cancelAfter(timers, latestCancel, connection);
    removeClient(client, wasSession);
}

void SessionEnder::closeAfterPeerBye(const std::shared_ptr<RemoteClient>& client) {
    onMainActor();
    cancelAfter(s_.timers, latestCancel, client->connection);
}

void SessionEnder::removeClient(const std::shared_ptr<RemoteClient>& client,
                                std::optional<bool> wasSession) {
    onMainActor();
    // Also for a client already gone: its connection may only now have ended. A crowd of
    // connections that came and went would otherwise leave the process at its peak size.
    if (!memoryReturnPending_->exchange(true))
        s_.timers.after(memoryReturnDelay, s_.background, [pending = memoryReturnPending_] {
            pending->store(false);
            returnFreeMemoryToSystem();
        });
    const auto& clients = host_.clients();
    auto it = std::find_if(clients.begin(), clients.end(),
                           [&](const auto& c) { return c->id == client->id; });
    if (it == clients.end()) return;
    bool session = wasSession.value_or(client->authorized());
    if (session) s_.history.recordEnded(*client, client->endReason.value_or("Connection closed"));
    client->setAuthorized(false);

    // Every alert still up for this client ends unanswered; its job queue goes.
    host_.forgetClient(client->id);
    IFileMessages& files = s_.files;
    asio::post(client->connection->executor(), [&files, client] { files.cancelAll(client); });

    auto list = clients;
    list.erase(list.begin() + (it - clients.begin()));
    host_.setClients(std::move(list));

    const auto& windows = host_.shareWindows();
    if (auto w = windows.find(client->id); w != windows.end()) {
        auto window = w->second;
        auto rest = windows;
        rest.erase(client->id);
        host_.setShareWindows(std::move(rest));
        if (window) window->closeQuietly();
    }

    const auto& remaining = host_.clients();
    if (session) {
        bool sharer = client->isScreenSharer();
        std::string name = client->displayName();
        if (!sharer && client->canControl() && host_.lockWhenSessionEnds()) {
            bool controllerLeft =
                std::any_of(remaining.begin(), remaining.end(),
                            [](const auto& c) { return isViewer(c) && c->canControl(); });
            if (!controllerLeft) {
                // Held keys are let go before the lock, on the injector's own queue.
                s_.injector.releaseAll();
                PowerActions& power = s_.power;
                s_.injector.afterPending([&power] { power.lockScreen(); });
            }
        }
        if (sharer) {
            s_.notifier.post(name + " stopped sharing", "Their screen is no longer shown.");
        } else {
            s_.injector.releaseAll();
            s_.notifier.post(name + " disconnected", "Screen sharing ended.");
        }
    }

    if (std::none_of(remaining.begin(), remaining.end(), isViewer)) host_.lastViewerLeft();
    host_.viewersChanged();

    if (client->isSupport && host_.supportCode() &&
        std::none_of(remaining.begin(), remaining.end(),
                     [](const auto& c) { return c->isSupport; })) {
        host_.setSupportCode(std::nullopt);
        host_.supportEnded();
    }
}

void SessionEnder::stopFromMac() {
    onMainActor();
    auto all = host_.clients();
    for (const auto& c : all) endSession(c, stoppedAtMachineReason);
}

}  // namespace orvane
