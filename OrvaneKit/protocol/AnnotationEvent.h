#pragma once

#include <string_view>
#include <variant>
#include <vector>

#include "OrvaneKit/base/Uuid.h"
#include "OrvaneKit/protocol/Json.h"

namespace orvane {

// One finished stroke drawn over a display. Points are x, y pairs as fractions of the display's
// width and height; color is red, green, blue and optionally alpha (missing alpha means 1); width
// is a fraction of the display's width. Fewer than two points draw nothing.
struct AnnotationStroke {
    Uuid id;
    std::vector<float> points;
    std::vector<float> color;
    float width = 0;
    bool operator==(const AnnotationStroke&) const = default;
};

void toJson(json::Value& out, const AnnotationStroke& v);
void fromJson(const json::Value& in, AnnotationStroke& v);

namespace annotation_cases {
// The stroke is written under "_0".
struct Stroke {
    static constexpr std::string_view caseName = "stroke";
    AnnotationStroke stroke;
    bool operator==(const Stroke&) const = default;
};
// Wipes every stroke; written {"clear":{}}.
struct Clear {
    static constexpr std::string_view caseName = "clear";
    bool operator==(const Clear&) const = default;
};

void toJson(json::Value& out, const Stroke& v);
void fromJson(const json::Value& in, Stroke& v);
void toJson(json::Value& out, const Clear& v);
void fromJson(const json::Value& in, Clear& v);
}  // namespace annotation_cases

// Message `annotation`.
struct AnnotationEvent : std::variant<annotation_cases::Stroke, annotation_cases::Clear> {
    using Stroke = annotation_cases::Stroke;
    using Clear = annotation_cases::Clear;

    using variant::variant;
};

void toJson(json::Value& out, const AnnotationEvent& v);
void fromJson(const json::Value& in, AnnotationEvent& v);

}  // namespace orvane
