#include "Orvane_Host/session/MessageRouter.h"

#include <algorithm>
#include <asio/post.hpp>

#include "OrvaneKit/protocol/AnnotationEvent.h"
#include "OrvaneKit/protocol/InputEvent.h"
#include "OrvaneKit/protocol/Json.h"

namespace orvane {

MessageRouter::MessageRouter(const SessionServices& services, std::weak_ptr<void> core, Host& host)
    : SessionPart(services, std::move(core)), host_(host) {}

MessageRouter::ConnectionTier MessageRouter::connectionTier() {
    return {s_.injector, s_.files, s_.mainActor, core_, this};
}

void MessageRouter::receive(MessageType type, Bytes body,
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
    asio::post(tier.mainActor.executor(), [type, body = std::move(body), client, core = tier.core,
                                           router = tier.router]() mutable {
        if (auto keep = core.lock()) router->handle(type, std::move(body), client);
    });
}

void MessageRouter::handle(MessageType type, Bytes body,
                           const std::shared_ptr<RemoteClient>& client) {
    onMainActor();
    const bool a = client->authorized();
    const bool sharer = client->isScreenSharer();
    switch (type) {
        case MessageType::hello:
            host_.helloReceived(body, client);
            return;
        case MessageType::clipboard: {
            if (!a || !client->canControl() || sharer || !host_.shareClipboard()) return;
            auto clip = json::decode<Clipboard>(body);
            if (!clip) return;
            host_.notePasteboardWrite(s_.pasteboard.clearAndSetString(clip->text));
            return;
        }
        case MessageType::selectDisplay: {
            if (!a) return;
            auto select = json::decode<SelectDisplay>(body);
            if (!select) return;
            std::uint32_t id = select->displayID;
            const auto& displays = host_.displays();
            if (std::none_of(displays.begin(), displays.end(),
                             [&](const DisplayInfo& d) { return d.id == id; }))
                return;
            client->setDisplayID(id);
            host_.displaySelected(id);
            return;
        }
        case MessageType::keyframeRequest:
            // The one road to an encoder's keyframe: the display's stream, on the main actor.
            if (!a || sharer) return;
            s_.streams.requestKeyframe(client->displayID());
            return;
        case MessageType::bye:
            if (!client->endReason) client->endReason = "Ended on " + client->displayName();
            host_.peerSaidBye(client);
            return;
        case MessageType::chat: {
            if (!a) return;
            auto message = json::decode<ChatMessage>(body);
            if (!message) return;
            std::string name = client->displayName();
            message->sender = name;
            std::string text = message->text;
            host_.chatReceived(std::move(*message));
            s_.notifier.post("Message from " + name, text);
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
            const auto& windows = host_.shareWindows();
            auto it = windows.find(client->id);
            if (!info || it == windows.end() || !it->second) return;
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

void MessageRouter::forget(const Uuid& client) {
    jobs_.erase(client);
}

MessageRouter::JobQueue& MessageRouter::jobsOf(const std::shared_ptr<RemoteClient>& client) {
    auto it = jobs_.find(client->id);
    if (it == jobs_.end()) it = jobs_.emplace(client->id, asio::make_strand(s_.background)).first;
    return it->second;
}

}  // namespace orvane
