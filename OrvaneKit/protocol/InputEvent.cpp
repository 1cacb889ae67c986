#include "OrvaneKit/protocol/InputEvent.h"

namespace orvane {

void toJson(json::Value& out, MouseButton b) {
    out = rawValue(b);
}

void fromJson(const json::Value& in, MouseButton& b) {
    auto v = mouseButtonFromRaw(json::fromValue<std::int64_t>(in));
    if (!v) json::fail("unknown mouse button " + in.dump());
    b = *v;
}

namespace input_cases {

void toJson(json::Value& out, const MouseMove& v) {
    json::putField(out, "x", v.x);
    json::putField(out, "y", v.y);
}
void fromJson(const json::Value& in, MouseMove& v) {
    v.x = json::requireField<double>(in, "x");
    v.y = json::requireField<double>(in, "y");
}

void toJson(json::Value& out, const MouseButtonChange& v) {
    json::putField(out, "button", v.button);
    json::putField(out, "down", v.down);
    json::putField(out, "x", v.x);
    json::putField(out, "y", v.y);
}
void fromJson(const json::Value& in, MouseButtonChange& v) {
    v.button = json::requireField<MouseButton>(in, "button");
    v.down = json::requireField<bool>(in, "down");
    v.x = json::requireField<double>(in, "x");
    v.y = json::requireField<double>(in, "y");
}

void toJson(json::Value& out, const Scroll& v) {
    json::putField(out, "dx", v.dx);
    json::putField(out, "dy", v.dy);
}
void fromJson(const json::Value& in, Scroll& v) {
    v.dx = json::requireField<double>(in, "dx");
    v.dy = json::requireField<double>(in, "dy");
}

void toJson(json::Value& out, const SmoothScroll& v) {
    json::putField(out, "dx", v.dx);
    json::putField(out, "dy", v.dy);
    json::putField(out, "phase", v.phase);
    json::putField(out, "momentum", v.momentum);
}
void fromJson(const json::Value& in, SmoothScroll& v) {
    v.dx = json::requireField<double>(in, "dx");
    v.dy = json::requireField<double>(in, "dy");
    v.phase = json::requireField<std::int64_t>(in, "phase");
    v.momentum = json::requireField<std::int64_t>(in, "momentum");
}

void toJson(json::Value& out, const MouseDelta& v) {
    json::putField(out, "dx", v.dx);
    json::putField(out, "dy", v.dy);
}
void fromJson(const json::Value& in, MouseDelta& v) {
    v.dx = json::requireField<double>(in, "dx");
    v.dy = json::requireField<double>(in, "dy");
}

void toJson(json::Value& out, const Key& v) {
    json::putField(out, "code", v.code);
    json::putField(out, "down", v.down);
    json::putField(out, "flags", v.flags);
}
void fromJson(const json::Value& in, Key& v) {
    v.code = json::requireField<std::uint16_t>(in, "code");
    v.down = json::requireField<bool>(in, "down");
    v.flags = json::requireField<std::uint64_t>(in, "flags");
}

void toJson(json::Value& out, const Text& v) {
    json::putField(out, "_0", v.text);
}
void fromJson(const json::Value& in, Text& v) {
    v.text = json::requireField<std::string>(in, "_0");
}

}  // namespace input_cases

void toJson(json::Value& out, const InputEvent& v) {
    out = json::encodeCases(v);
}
void fromJson(const json::Value& in, InputEvent& v) {
    json::decodeCases(in, v);
}

}  // namespace orvane
