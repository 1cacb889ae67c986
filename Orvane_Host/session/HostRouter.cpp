// What each received message does, and for whom: served on the connection's queue when it must
// not wait for the main actor, else handed to the main actor.

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/post.hpp>

#include "OrvaneKit/protocol/AnnotationEvent.h"
#include "OrvaneKit/protocol/InputEvent.h"
#include "OrvaneKit/protocol/Json.h"
#include "Orvane_Host/session/HostController.h"
#include "Orvane_Host/session/VideoPipeline.h"

namespace orvane {

HostController::ConnectionTier HostController::connectionTier() {
    return {s_.injector, s_.files, s_.mainActor, weak_from_this()};
}

void HostController::receive(MessageType type, Bytes body,
                             const std::shared_ptr<RemoteClient>& client,
                             const ConnectionTier& tier) {
    client->noteHeard();
    switch (type) {
        case MessageType::video:
            if (client->authorized())
                if (auto receiver = client->screenReceiver) receiver->receive(std::move(body));
            return;
        case MessageType::input: {
            if (!client->authorized() || !client->canControl() || client->isScreenSharer()) return;
            auto event = json::decode<InputEvent>(body);
            if (!event) return;
            client->noteActivity();
            tier.injector.injectOnDisplay(*event, client->displayID());
            return;
        }
        case MessageType::keyframeRequest:
            if (!client->authorized()) return;
            if (auto pipeline = client->pipeline()) pipeline->requestKeyframe();
            return;
        case MessageType::ping:
            client->connection->send(MessageType::pong, std::move(body));
            return;
        case MessageType::fileOffer:
        case MessageType::fileChunk:
        case MessageType::fileEnd:
            if (client->authorized() && !client->isScreenSharer())
                tier.files.handleFileMessage(type, std::move(body), client);
            return;
        default:
            break;
    }
    asio::post(tier.mainActor.executor(),
               [type, body = std::move(body), client, weak = tier.controller]() mutable {
                   if (auto self = weak.lock()) self->handle(type, std::move(body), client);
               });
}

void HostController::handle(MessageType type, Bytes body,
                            const std::shared_ptr<RemoteClient>& client) {
    onMainActor();
    const bool a = client->authorized();
    const bool sharer = client->isScreenSharer();
    switch (type) {
        case MessageType::hello:
            helloReceived(body, client);
            return;
        case MessageType::clipboard: {
            if (!a || !client->canControl() || sharer || !shareClipboard_) return;
            auto clip = json::decode<Clipboard>(body);
            if (!clip) return;
            // Stored so the clipboard watch does not send the viewer's own text back.
            pasteboardChangeCount = s_.pasteboard.clearAndSetString(clip->text);
            return;
        }
        case MessageType::selectDisplay: {
            if (!a) return;
            auto select = json::decode<SelectDisplay>(body);
            if (!select) return;
            std::uint32_t id = select->displayID;
            if (std::none_of(displays_.begin(), displays_.end(),
                             [&](const DisplayInfo& d) { return d.id == id; }))
                return;
            client->setDisplayID(id);
            spawnDetached([id](HostController& self) -> asio::awaitable<void> {
                co_await self.updateStreams(false);
                self.s_.streams.requestKeyframe(id);
                self.s_.streams.sendKeyframeNow(id);
            });
            return;
        }
        case MessageType::bye:
            if (!client->endReason) client->endReason = "Ended on " + client->displayName();
            closeAfterPeerBye(client);
            removeClient(client);
            return;
        case MessageType::chat: {
            if (!a) return;
            auto message = json::decode<ChatMessage>(body);
            if (!message) return;
            std::string name = client->displayName();
            message->sender = name;
            auto list = chat_;
            list.push_back(*message);
            setChat(std::move(list));
            setUnreadChat(unreadChat_ + 1);
            postUserNotification("Message from " + name, message->text);
            return;
        }
        case MessageType::hostAction: {
            if (!a || !client->canControl() || sharer) return;
            auto action = json::decode<HostAction>(body);
            if (action) s_.actions.performPowerCommand(*action);
            return;
        }
        case MessageType::annotation: {
            if (!a || sharer) return;
            auto event = json::decode<AnnotationEvent>(body);
            if (event) s_.overlays.applyAnnotation(*event, client->displayID());
            return;
        }
        case MessageType::sharerInfo: {
            if (!a) return;
            auto info = json::decode<SharerInfo>(body);
            auto it = shareWindows_.find(client->id);
            if (!info || it == shareWindows_.end() || !it->second) return;
            std::uint32_t o = info->orientation;
            it->second->setOrientation(o >= 1 && o <= 8 ? static_cast<int>(o) : 1);
            it->second->layoutVideo();
            return;
        }
        case MessageType::macCommand: {
            if (!a || !client->canControl() || sharer) return;
            auto command = json::decode<MacCommand>(body);
            if (!command) return;
            IMacActions& actions = s_.actions;
            asio::post(jobsOf(client), [&actions, command = *command, client] {
                actions.performMacCommand(command, client);
            });
            return;
        }
        case MessageType::screenTextRequest:
        case MessageType::screenshotRequest: {
            if (!a || sharer) return;
            auto frame = s_.streams.lastFrame(client->displayID());
            IMacActions& actions = s_.actions;
            bool text = type == MessageType::screenTextRequest;
            asio::post(jobsOf(client), [&actions, text, client, frame = std::move(frame)] {
                if (text)
                    actions.replyScreenText(client, frame);
                else
                    actions.replyScreenshot(client, frame);
            });
            return;
        }
        default:
            // Host-to-viewer messages and unknown codes.
            return;
    }
}

HostController::JobQueue& HostController::jobsOf(const std::shared_ptr<RemoteClient>& client) {
    auto it = jobs_.find(client->id);
    if (it == jobs_.end()) it = jobs_.emplace(client->id, asio::make_strand(s_.background)).first;
    return it->second;
}

}  // namespace orvane
