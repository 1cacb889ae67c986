#include "OrvaneKit/protocol/MessageType.h"

namespace orvane {

std::string_view messageTypeName(MessageType t) {
    switch (t) {
        case MessageType::invalid:
            return "invalid";
        case MessageType::hello:
            return "hello";
        case MessageType::helloAck:
            return "helloAck";
        case MessageType::video:
            return "video";
        case MessageType::input:
            return "input";
        case MessageType::clipboard:
            return "clipboard";
        case MessageType::selectDisplay:
            return "selectDisplay";
        case MessageType::keyframeRequest:
            return "keyframeRequest";
        case MessageType::ping:
            return "ping";
        case MessageType::pong:
            return "pong";
        case MessageType::bye:
            return "bye";
        case MessageType::audioFormat:
            return "audioFormat";
        case MessageType::audio:
            return "audio";
        case MessageType::fileOffer:
            return "fileOffer";
        case MessageType::fileChunk:
            return "fileChunk";
        case MessageType::fileEnd:
            return "fileEnd";
        case MessageType::chat:
            return "chat";
        case MessageType::permissions:
            return "permissions";
        case MessageType::hostStatus:
            return "hostStatus";
        case MessageType::hostAction:
            return "hostAction";
        case MessageType::annotation:
            return "annotation";
        case MessageType::sharerInfo:
            return "sharerInfo";
        case MessageType::macCommand:
            return "macCommand";
        case MessageType::screenTextRequest:
            return "screenTextRequest";
        case MessageType::screenText:
            return "screenText";
        case MessageType::screenshotRequest:
            return "screenshotRequest";
        case MessageType::screenshot:
            return "screenshot";
        case MessageType::displays:
            return "displays";
        case MessageType::secureClientHello:
            return "secureClientHello";
        case MessageType::secureServerHello:
            return "secureServerHello";
        case MessageType::secureFinish:
            return "secureFinish";
    }
    return "invalid";
}

}  // namespace orvane
