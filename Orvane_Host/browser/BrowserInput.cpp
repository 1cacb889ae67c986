#include "Orvane_Host/browser/BrowserInput.h"

#include "OrvaneKit/protocol/Json.h"

namespace orvane::BrowserInput {

namespace {

// A key that is absent, or null, has no value; one of the wrong type throws.
template <class T>
std::optional<T> field(const json::Value& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end() || it->is_null()) return std::nullopt;
    return json::Codec<T>::decode(*it);
}

MouseButton buttonOf(std::optional<std::int64_t> raw) {
    if (raw == 1) return MouseButton::right;
    if (raw == 2) return MouseButton::middle;
    return MouseButton::left;
}

}  // namespace

std::optional<InputEvent> decode(ByteView message) {
    auto value = json::parse(message);
    if (!value || !value->is_object()) return std::nullopt;
    try {
        const json::Value& o = *value;
        auto kind = field<std::string>(o, "t");
        // Every known key is read, so a mistyped one spoils the message whatever its kind.
        auto x = field<double>(o, "x");
        auto y = field<double>(o, "y");
        auto dx = field<double>(o, "dx");
        auto dy = field<double>(o, "dy");
        auto button = field<std::int64_t>(o, "button");
        auto code = field<std::int64_t>(o, "code");
        auto down = field<bool>(o, "down");
        auto flags = field<std::uint64_t>(o, "flags");
        auto text = field<std::string>(o, "text");
        if (!kind) return std::nullopt;
        if (*kind == "move") return InputEvent::MouseMove{x.value_or(0), y.value_or(0)};
        if (*kind == "down" || *kind == "up")
            return InputEvent::MouseButtonChange{buttonOf(button), *kind == "down", x.value_or(-1),
                                                 y.value_or(-1)};
        if (*kind == "scroll") return InputEvent::Scroll{dx.value_or(0), dy.value_or(0)};
        if (*kind == "key") {
            std::int64_t c = code.value_or(0);
            if (c < 0 || c > 0xFFFF) return std::nullopt;
            return InputEvent::Key{static_cast<std::uint16_t>(c), down.value_or(false),
                                   flags.value_or(0)};
        }
        if (*kind == "text") return InputEvent::Text{text.value_or("")};
        return std::nullopt;
    } catch (const json::DecodeError&) {
        return std::nullopt;
    }
}

}  // namespace orvane::BrowserInput
