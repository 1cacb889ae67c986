#include "OrvaneKit/protocol/testing/RandomMessages.h"

#include <bit>
#include <cmath>

namespace orvane::testing {

std::string RandomMessages::text() {
    static const char* pieces[] = {"a",  "Z",    " ",    "/", "\\", "\"",        "\n",
                                   "\t", "\x01", "\x7f", "é", "€",  "😀",         "日本",
                                   "{",  "}",    ":",    ",", "0",  "http://x/y"};
    std::string s;
    auto n = rng_() % 12;
    for (std::size_t i = 0; i < n; ++i) s += pieces[rng_() % std::size(pieces)];
    return s;
}

double RandomMessages::number() {
    switch (rng_() % 4) {
        case 0:
            return static_cast<double>(static_cast<std::int32_t>(rng_()));
        case 1:
            return std::ldexp(static_cast<double>(rng_() % 1000000),
                              -static_cast<int>(rng_() % 20));
        case 2:
            return std::uniform_real_distribution<double>(-1, 1)(rng_);
        default:
            for (;;) {
                double d = std::bit_cast<double>(rng_());
                if (std::isfinite(d)) return d;
            }
    }
}

float RandomMessages::number32() {
    if (coin()) return std::uniform_real_distribution<float>(0, 1)(rng_);
    for (;;) {
        float f = std::bit_cast<float>(static_cast<std::uint32_t>(rng_()));
        if (std::isfinite(f)) return f;
    }
}

Uuid RandomMessages::uuid() {
    Uuid u;
    for (auto& b : u.bytes) b = static_cast<std::uint8_t>(rng_());
    return u;
}

Date RandomMessages::date() {
    return coin() ? Date::fromReference(static_cast<double>(static_cast<std::int32_t>(rng_())))
                  : Date::fromReference(number());
}

template <>
ClientPlatform RandomMessages::make() {
    return static_cast<ClientPlatform>(rng_() % 6);
}
template <>
ClientRole RandomMessages::make() {
    return static_cast<ClientRole>(rng_() % 2);
}

template <>
Hello RandomMessages::make() {
    Hello h{text(),
            make<ClientPlatform>(),
            integer<std::int64_t>(),
            maybe(text()),
            maybe(make<ClientRole>()),
            maybe(coin()),
            maybe(coin()),
            maybe(text())};
    h.preferredDisplayID = maybe(integer<std::uint32_t>());
    return h;
}

template <>
DisplayInfo RandomMessages::make() {
    return {integer<std::uint32_t>(), text(), integer<std::int64_t>(), integer<std::int64_t>()};
}

template <>
HelloAck RandomMessages::make() {
    HelloAck a{text(), {}, integer<std::uint32_t>()};
    for (auto n = rng_() % 4; n > 0; --n) a.displays.push_back(make<DisplayInfo>());
    return a;
}

template <>
DisplayList RandomMessages::make() {
    DisplayList l{{}, integer<std::uint32_t>()};
    for (auto n = rng_() % 4; n > 0; --n) l.displays.push_back(make<DisplayInfo>());
    return l;
}

template <>
SelectDisplay RandomMessages::make() {
    return {integer<std::uint32_t>()};
}
template <>
SharerInfo RandomMessages::make() {
    return {integer<std::uint32_t>()};
}
template <>
Clipboard RandomMessages::make() {
    return {text()};
}
template <>
Bye RandomMessages::make() {
    return {text()};
}
template <>
FileOffer RandomMessages::make() {
    return {uuid(), text(), integer<std::int64_t>(), maybe(text())};
}
template <>
FileEnd RandomMessages::make() {
    return {uuid(), coin()};
}
template <>
ChatMessage RandomMessages::make() {
    return {uuid(), text(), text(), date()};
}
template <>
SessionPermissions RandomMessages::make() {
    return {coin(), coin()};
}
template <>
HostStatus RandomMessages::make() {
    return {text(),
            text(),
            number(),
            maybe(integer<std::int64_t>()),
            maybe(coin()),
            maybe(integer<std::int64_t>()),
            maybe(integer<std::int64_t>()),
            text(),
            number(),
            maybe(text())};
}
template <>
ScreenText RandomMessages::make() {
    ScreenText t;
    for (auto n = rng_() % 4; n > 0; --n) t.lines.push_back(text());
    t.frontmostApp = maybe(text());
    return t;
}

template <>
MouseButton RandomMessages::make() {
    return static_cast<MouseButton>(rng_() % 3);
}

template <>
InputEvent RandomMessages::make() {
    switch (rng_() % 7) {
        case 0:
            return InputEvent::MouseMove{number(), number()};
        case 1:
            return InputEvent::MouseButtonChange{make<MouseButton>(), coin(), number(), number()};
        case 2:
            return InputEvent::Scroll{number(), number()};
        case 3:
            return InputEvent::SmoothScroll{number(), number(), integer<std::int64_t>(),
                                            integer<std::int64_t>()};
        case 4:
            return InputEvent::MouseDelta{number(), number()};
        case 5:
            return InputEvent::Key{integer<std::uint16_t>(), coin(), integer<std::uint64_t>()};
        default:
            return InputEvent::Text{text()};
    }
}

template <>
MacCommand RandomMessages::make() {
    switch (rng_() % 3) {
        case 0:
            return MacCommand::OpenApp{text()};
        case 1:
            return MacCommand::OpenURL{text()};
        default:
            return MacCommand::RunShortcut{text()};
    }
}

template <>
AnnotationStroke RandomMessages::make() {
    AnnotationStroke s{uuid(), {}, {}, number32()};
    for (auto n = rng_() % 8; n > 0; --n) s.points.push_back(number32());
    for (auto n = 3 + rng_() % 2; n > 0; --n) s.color.push_back(number32());
    return s;
}

template <>
AnnotationEvent RandomMessages::make() {
    if (coin()) return AnnotationEvent::Clear{};
    return AnnotationEvent::Stroke{make<AnnotationStroke>()};
}

template <>
HostAction RandomMessages::make() {
    return allHostActions[rng_() % allHostActions.size()];
}

}  // namespace orvane::testing
