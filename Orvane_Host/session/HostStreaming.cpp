// From admission to the first frame: the viewer's welcome, shared screens, control changes, the
// host status and stopping capture.

#include <asio/post.hpp>

#include "OrvaneKit/protocol/Json.h"
#include "Orvane_Host/session/HostController.h"
#include "Orvane_Host/system/MachineName.h"

namespace orvane {

namespace {

// The name viewers show for this machine.
std::string hostNameOf(const std::optional<HostController::FrontDoor>& door) {
    return door ? door->machineName() : macDisplayName();
}

template <class T>
void sendRecord(const std::shared_ptr<RemoteClient>& client, MessageType type, const T& record) {
    if (auto body = json::encode(record)) client->connection->send(type, std::move(*body));
}

}  // namespace

void HostController::refreshDisplays() {
    onMainActor();
    auto list = s_.screens.shareableDisplays();
    if (!list) {
        setLastError(std::string("Screen Recording permission is needed."));
        setScreenRecordingGranted(false);
        return;
    }
    setDisplays(std::move(*list));
    setScreenRecordingGranted(true);
}

asio::awaitable<void> HostController::startStreaming(std::shared_ptr<RemoteClient> client) {
    onMainActor();
    auto self = shared_from_this();
    refreshDisplays();
    if (auto hello = client->hello(); hello && hello->preferredDisplayID) {
        std::uint32_t wanted = *hello->preferredDisplayID;
        if (std::any_of(displays_.begin(), displays_.end(),
                        [&](const DisplayInfo& d) { return d.id == wanted; }))
            client->setDisplayID(wanted);
    }
    sendRecord(client, MessageType::helloAck,
               HelloAck{hostNameOf(door_), displays_, client->displayID()});
    if (shareSound_) sendAudioFormat({client});
    sendRecord(client, MessageType::permissions,
               SessionPermissions{client->canControl(), client->isSupport});
    chooseCodec();
    sendHostStatusToClient(client);
    applyCurtain();

    bool hadAudio = s_.streams.audioFormat().has_value();
    // A viewer whose display has no pipeline yet would otherwise get another display's video.
    if (!isStreaming_ || !s_.streams.hasPipeline(client->displayID())) {
        co_await updateStreams(false);
        // The first viewer's format exists only now that the pipelines run.
        if (shareSound_ && !hadAudio) sendAudioFormat({client});
    }
    s_.streams.sendKeyframeNow(client->displayID());
}

void HostController::showSharedScreen(const std::shared_ptr<RemoteClient>& client,
                                      bool withoutAsking) {
    onMainActor();
    std::weak_ptr<SessionConnection> weakConnection = client->connection;
    std::weak_ptr<HostController> weak = weak_from_this();
    std::weak_ptr<RemoteClient> weakClient = client;
    std::string name = client->displayName();
    auto opened = s_.shareWindowMaker.open(
        name + "'s Screen",
        [weakConnection] {
            if (auto c = weakConnection.lock()) c->send(MessageType::keyframeRequest, {});
        },
        [weak, weakClient] {
            if (auto self = weak.lock()) self->sharedScreenClosed(weakClient);
        });
    // Set before the client is authorised: the connection's queue reads it only after that.
    client->screenReceiver = opened.receiver;
    auto windows = shareWindows_;
    windows[client->id] = opened.window;
    setShareWindows(std::move(windows));
    client->setAuthorized(true);
    s_.history.recordConnected(*client, withoutAsking);
    publishClients();
    sendRecord(client, MessageType::helloAck, HelloAck{hostNameOf(door_), {}, 0});
    postUserNotification(name + " is sharing their screen", "Close the window to stop.");
}

void HostController::sharedScreenClosed(const std::weak_ptr<RemoteClient>& weakClient) {
    auto client = weakClient.lock();
    if (!client) return;
    auto windows = shareWindows_;
    windows.erase(client->id);
    setShareWindows(std::move(windows));
    endSession(client, "The Mac closed the shared screen.");
}

void HostController::setCanControl(bool canControl, const std::shared_ptr<RemoteClient>& client) {
    onMainActor();
    client->setCanControl(canControl);
    if (!canControl) s_.injector.releaseAll();
    sendRecord(client, MessageType::permissions,
               SessionPermissions{client->canControl(), client->isSupport});
    publishClients();
    applyCurtain();
}

asio::awaitable<void> HostController::stopStreaming() {
    onMainActor();
    auto self = shared_from_this();
    co_await s_.streams.stop();
    setIsStreaming(false);
}

void HostController::statusTick() {
    onMainActor();
    auto list = viewers();
    if (list.empty()) return;
    sendHostStatus(std::move(list));
}

void HostController::sendHostStatus(Clients to) {
    HostStatusBuilder& builder = s_.status;
    asio::post(s_.background, [&builder, to = std::move(to)] {
        auto body = json::encode(builder.makeHostStatus());
        if (!body) return;
        for (const auto& c : to) c->connection->send(MessageType::hostStatus, *body);
    });
}

}  // namespace orvane
