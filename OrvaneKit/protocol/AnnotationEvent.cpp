#include "OrvaneKit/protocol/AnnotationEvent.h"

namespace orvane {

void toJson(json::Value& out, const AnnotationStroke& v) {
    json::putField(out, "id", v.id);
    json::putField(out, "points", v.points);
    json::putField(out, "color", v.color);
    json::putField(out, "width", v.width);
}

void fromJson(const json::Value& in, AnnotationStroke& v) {
    v.id = json::requireField<Uuid>(in, "id");
    v.points = json::requireField<std::vector<float>>(in, "points");
    v.color = json::requireField<std::vector<float>>(in, "color");
    v.width = json::requireField<float>(in, "width");
}

namespace annotation_cases {
void toJson(json::Value& out, const Stroke& v) {
    json::putField(out, "_0", v.stroke);
}
void fromJson(const json::Value& in, Stroke& v) {
    v.stroke = json::requireField<AnnotationStroke>(in, "_0");
}
void toJson(json::Value& out, const Clear&) {
    out = json::Value::object();
}
void fromJson(const json::Value&, Clear&) {}
}  // namespace annotation_cases

void toJson(json::Value& out, const AnnotationEvent& v) {
    out = json::encodeCases(v);
}
void fromJson(const json::Value& in, AnnotationEvent& v) {
    json::decodeCases(in, v);
}

}  // namespace orvane
