#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "OrvaneKit/protocol/Json.h"

namespace orvane {

// Written as its integer inside an InputEvent; any other integer fails the read.
enum class MouseButton : std::int64_t { left = 0, right = 1, middle = 2 };

constexpr std::int64_t rawValue(MouseButton b) {
    return static_cast<std::int64_t>(b);
}
constexpr std::optional<MouseButton> mouseButtonFromRaw(std::int64_t v) {
    if (v < 0 || v > 2) return std::nullopt;
    return static_cast<MouseButton>(v);
}

void toJson(json::Value& out, MouseButton b);
void fromJson(const json::Value& in, MouseButton& b);

namespace input_cases {
// Positions are fractions of the target display (0 left/top, 1 right/bottom).
struct MouseMove {
    static constexpr std::string_view caseName = "mouseMove";
    double x = 0, y = 0;
    bool operator==(const MouseMove&) const = default;
};
struct MouseButtonChange {
    static constexpr std::string_view caseName = "mouseButton";
    MouseButton button = MouseButton::left;
    bool down = false;
    double x = 0, y = 0;
    bool operator==(const MouseButtonChange&) const = default;
};
struct Scroll {
    static constexpr std::string_view caseName = "scroll";
    double dx = 0, dy = 0;
    bool operator==(const Scroll&) const = default;
};
// A step of a continuous (trackpad) scroll; phase and momentum are the gesture's scroll-phase and
// momentum-phase values as the viewer's platform reports them.
struct SmoothScroll {
    static constexpr std::string_view caseName = "smoothScroll";
    double dx = 0, dy = 0;
    std::int64_t phase = 0;
    std::int64_t momentum = 0;
    bool operator==(const SmoothScroll&) const = default;
};
struct MouseDelta {
    static constexpr std::string_view caseName = "mouseDelta";
    double dx = 0, dy = 0;
    bool operator==(const MouseDelta&) const = default;
};
// A virtual key code of the viewers' platform; flags carry ModifierBits.
struct Key {
    static constexpr std::string_view caseName = "key";
    std::uint16_t code = 0;
    bool down = false;
    std::uint64_t flags = 0;
    bool operator==(const Key&) const = default;
};
// Text typed as a whole; written under "_0".
struct Text {
    static constexpr std::string_view caseName = "text";
    std::string text;
    bool operator==(const Text&) const = default;
};

void toJson(json::Value& out, const MouseMove& v);
void fromJson(const json::Value& in, MouseMove& v);
void toJson(json::Value& out, const MouseButtonChange& v);
void fromJson(const json::Value& in, MouseButtonChange& v);
void toJson(json::Value& out, const Scroll& v);
void fromJson(const json::Value& in, Scroll& v);
void toJson(json::Value& out, const SmoothScroll& v);
void fromJson(const json::Value& in, SmoothScroll& v);
void toJson(json::Value& out, const MouseDelta& v);
void fromJson(const json::Value& in, MouseDelta& v);
void toJson(json::Value& out, const Key& v);
void fromJson(const json::Value& in, Key& v);
void toJson(json::Value& out, const Text& v);
void fromJson(const json::Value& in, Text& v);
}  // namespace input_cases

// Message `input`: one of the cases above, written {"caseName":{...}}.
struct InputEvent : std::variant<input_cases::MouseMove, input_cases::MouseButtonChange,
                                 input_cases::Scroll, input_cases::SmoothScroll,
                                 input_cases::MouseDelta, input_cases::Key, input_cases::Text> {
    using MouseMove = input_cases::MouseMove;
    using MouseButtonChange = input_cases::MouseButtonChange;
    using Scroll = input_cases::Scroll;
    using SmoothScroll = input_cases::SmoothScroll;
    using MouseDelta = input_cases::MouseDelta;
    using Key = input_cases::Key;
    using Text = input_cases::Text;

    using variant::variant;
};

void toJson(json::Value& out, const InputEvent& v);
void fromJson(const json::Value& in, InputEvent& v);

}  // namespace orvane
