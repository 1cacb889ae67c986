// How sessions end: the host's bye, removing a client, and stopping everything from the machine.

#include <algorithm>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/post.hpp>

#include "OrvaneKit/protocol/Json.h"
#include "Orvane_Host/session/HostController.h"

namespace orvane {

namespace {

constexpr auto byeCancelDelay = std::chrono::milliseconds(50);
constexpr auto latestCancel = std::chrono::seconds(1);

// Closes the connection on its own queue after `delay`, holding it until then.
void cancelAfter(TimerService& timers, TimerService::Duration delay,
                 std::shared_ptr<SessionConnection> connection) {
    auto queue = connection->executor();
    timers.after(delay, queue, [connection = std::move(connection)] { connection->cancel(); });
}

bool isViewer(const std::shared_ptr<RemoteClient>& c) {
    return c->authorized() && !c->isScreenSharer();
}

}  // namespace

void HostController::endSession(const std::shared_ptr<RemoteClient>& client,
                                const std::string& reason) {
    onMainActor();
    auto connection = client->connection;
    if (auto fp = connection->peerFingerprint()) {
        auto stopped = recentlyStopped_;
        // Entries past the window block nothing; dropping them keeps the map small.
        auto now = s_.clock.monoNow();
        std::erase_if(stopped,
                      [&](const auto& e) { return now - e.second >= recentlyStoppedWindow; });
        stopped[*fp] = now;
        setRecentlyStopped(std::move(stopped));
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
    std::weak_ptr<SessionConnection> weakConnection = connection;
    connection->send(MessageType::bye, body.value_or(Bytes{}),
                     [&timers, weakConnection](std::optional<NetError>) {
                         auto c = weakConnection.lock();
                         if (c) cancelAfter(timers, byeCancelDelay, std::move(c));
                     });
    cancelAfter(timers, latestCancel, connection);
    removeClient(client, wasSession);
}

void HostController::closeAfterPeerBye(const std::shared_ptr<RemoteClient>& client) {
    onMainActor();
    cancelAfter(s_.timers, latestCancel, client->connection);
}

void HostController::removeClient(const std::shared_ptr<RemoteClient>& client,
                                  std::optional<bool> wasSession) {
    onMainActor();
    auto it = std::find_if(clients_.begin(), clients_.end(),
                           [&](const auto& c) { return c->id == client->id; });
    if (it == clients_.end()) return;
    bool session = wasSession.value_or(client->authorized());
    if (session) s_.history.recordEnded(*client, client->endReason.value_or("Connection closed"));
    client->setAuthorized(false);

    // Every alert still up for this client ends unanswered.
    if (auto pending = alerts_.find(client->id); pending != alerts_.end()) {
        auto handles = std::move(pending->second);
        alerts_.erase(pending);
        for (auto& [token, handle] : handles) handle.abort();
        noteAlertsChanged();
    }

    IFileMessages& files = s_.files;
    asio::post(client->connection->executor(), [&files, client] { files.cancelAll(client); });
    jobs_.erase(client->id);

    auto list = clients_;
    list.erase(list.begin() + (it - clients_.begin()));
    setClients(std::move(list));

    if (auto w = shareWindows_.find(client->id); w != shareWindows_.end()) {
        auto window = w->second;
        auto windows = shareWindows_;
        windows.erase(client->id);
        setShareWindows(std::move(windows));
        if (window) window->closeQuietly();
    }

    if (session) {
        bool sharer = client->isScreenSharer();
        std::string name = client->displayName();
        if (!sharer && client->canControl() && lockWhenSessionEnds_) {
            bool controllerLeft = std::any_of(clients_.begin(), clients_.end(), [](const auto& c) {
                return isViewer(c) && c->canControl();
            });
            if (!controllerLeft) {
                // Held keys are let go before the lock, on the injector's own queue.
                s_.injector.releaseAll();
                PowerActions& power = s_.power;
                s_.injector.afterPending([&power] { power.lockScreen(); });
            }
        }
        if (sharer) {
            postUserNotification(name + " stopped sharing", "Their screen is no longer shown.");
        } else {
            s_.injector.releaseAll();
            postUserNotification(name + " disconnected", "Screen sharing ended.");
        }
    }

    if (std::none_of(clients_.begin(), clients_.end(), isViewer)) {
        s_.overlays.clearAnnotations();
        spawnDetached([](HostController& self) { return self.stopStreaming(); });
    }
    applyCurtain();
    chooseCodec();

    if (client->isSupport && supportCode_ &&
        std::none_of(clients_.begin(), clients_.end(),
                     [](const auto& c) { return c->isSupport; })) {
        setSupportCode(std::nullopt);
        startListener();
    }
}

void HostController::stopFromMac() {
    onMainActor();
    auto all = clients_;
    for (const auto& c : all) endSession(c, "The person at the Mac stopped the session.");
}

}  // namespace orvane
