#pragma once

// Random values of every message body, for round-trip and cross-implementation tests.

#include <random>

#include "OrvaneKit/protocol/AnnotationEvent.h"
#include "OrvaneKit/protocol/Hello.h"
#include "OrvaneKit/protocol/HostAction.h"
#include "OrvaneKit/protocol/HostStatus.h"
#include "OrvaneKit/protocol/InputEvent.h"
#include "OrvaneKit/protocol/MacCommand.h"
#include "OrvaneKit/protocol/Messages.h"

namespace orvane::testing {

class RandomMessages {
public:
    explicit RandomMessages(std::uint64_t seed) : rng_(seed) {}

    template <class T>
    T make();

    std::string text();  // mixes ASCII, "/", quotes, escapes, controls and multi-byte UTF-8
    double number();     // any finite double, often small or integral
    float number32();    // any finite float
    Uuid uuid();
    Date date();
    bool coin() { return (rng_() & 1) != 0; }
    template <class T>
    T integer() {
        return static_cast<T>(rng_());
    }
    std::mt19937_64& rng() { return rng_; }

private:
    template <class T>
    std::optional<T> maybe(T v) {
        return coin() ? std::optional<T>(std::move(v)) : std::nullopt;
    }
    std::mt19937_64 rng_;
};

template <>
ClientPlatform RandomMessages::make<ClientPlatform>();
template <>
ClientRole RandomMessages::make<ClientRole>();
template <>
Hello RandomMessages::make<Hello>();
template <>
DisplayInfo RandomMessages::make<DisplayInfo>();
template <>
HelloAck RandomMessages::make<HelloAck>();
template <>
DisplayList RandomMessages::make<DisplayList>();
template <>
SelectDisplay RandomMessages::make<SelectDisplay>();
template <>
SharerInfo RandomMessages::make<SharerInfo>();
template <>
Clipboard RandomMessages::make<Clipboard>();
template <>
Bye RandomMessages::make<Bye>();
template <>
FileOffer RandomMessages::make<FileOffer>();
template <>
FileEnd RandomMessages::make<FileEnd>();
template <>
ChatMessage RandomMessages::make<ChatMessage>();
template <>
SessionPermissions RandomMessages::make<SessionPermissions>();
template <>
HostStatus RandomMessages::make<HostStatus>();
template <>
ScreenText RandomMessages::make<ScreenText>();
template <>
MouseButton RandomMessages::make<MouseButton>();
template <>
InputEvent RandomMessages::make<InputEvent>();
template <>
MacCommand RandomMessages::make<MacCommand>();
template <>
AnnotationStroke RandomMessages::make<AnnotationStroke>();
template <>
AnnotationEvent RandomMessages::make<AnnotationEvent>();
template <>
HostAction RandomMessages::make<HostAction>();

}  // namespace orvane::testing
