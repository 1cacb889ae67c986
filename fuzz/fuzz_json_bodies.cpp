// Every JSON body of the catalogue: the first byte is the message code, the rest the body,
// decoded as the record the receiver expects for that code. Other codes exercise the parser
// alone. Whatever decodes must encode again and decode to the same value.

#include "FuzzSupport.h"
#include "OrvaneKit/media/AudioStreamFormat.h"
#include "OrvaneKit/protocol/AnnotationEvent.h"
#include "OrvaneKit/protocol/Hello.h"
#include "OrvaneKit/protocol/HostAction.h"
#include "OrvaneKit/protocol/HostStatus.h"
#include "OrvaneKit/protocol/InputEvent.h"
#include "OrvaneKit/protocol/Json.h"
#include "OrvaneKit/protocol/MacCommand.h"
#include "OrvaneKit/protocol/MessageType.h"
#include "OrvaneKit/protocol/Messages.h"

using namespace orvane;

namespace {

template <class T>
void roundTrip(ByteView body) {
    std::string error;
    auto value = json::decode<T>(body, &error);
    if (!value) {
        FUZZ_CHECK(!error.empty());
        return;
    }
    auto again = json::encode(*value);
    FUZZ_CHECK(again.has_value());
    auto back = json::decode<T>(*again);
    FUZZ_CHECK(back.has_value());
    FUZZ_CHECK(*back == *value);
}

void parseOnly(ByteView body) {
    auto value = json::parse(body);
    if (!value) return;
    // Parsed input is valid UTF-8 with finite numbers, so it always writes back, and reads back
    // as the same value.
    auto text = json::dump(*value);
    FUZZ_CHECK(text.has_value());
    auto back = json::parse(*text);
    FUZZ_CHECK(back.has_value());
    FUZZ_CHECK(json::dump(*back) == text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    ByteView body(data + 1, size - 1);
    switch (messageTypeFromRaw(data[0]).value_or(MessageType::invalid)) {
        case MessageType::hello:
            roundTrip<Hello>(body);
            break;
        case MessageType::helloAck:
            roundTrip<HelloAck>(body);
            break;
        case MessageType::input:
            roundTrip<InputEvent>(body);
            break;
        case MessageType::clipboard:
            roundTrip<Clipboard>(body);
            break;
        case MessageType::selectDisplay:
            roundTrip<SelectDisplay>(body);
            break;
        case MessageType::bye:
            roundTrip<Bye>(body);
            break;
        case MessageType::audioFormat:
            roundTrip<AudioStreamFormat>(body);
            break;
        case MessageType::fileOffer:
            roundTrip<FileOffer>(body);
            break;
        case MessageType::fileEnd:
            roundTrip<FileEnd>(body);
            break;
        case MessageType::chat:
            roundTrip<ChatMessage>(body);
            break;
        case MessageType::permissions:
            roundTrip<SessionPermissions>(body);
            break;
        case MessageType::hostStatus:
            roundTrip<HostStatus>(body);
            break;
        case MessageType::hostAction:
            roundTrip<HostAction>(body);
            break;
        case MessageType::annotation:
            roundTrip<AnnotationEvent>(body);
            break;
        case MessageType::sharerInfo:
            roundTrip<SharerInfo>(body);
            break;
        case MessageType::macCommand:
            roundTrip<MacCommand>(body);
            break;
        case MessageType::screenText:
            roundTrip<ScreenText>(body);
            break;
        case MessageType::displays:
            roundTrip<DisplayList>(body);
            break;
        default:
            parseOnly(body);
            break;
    }
    return 0;
}
