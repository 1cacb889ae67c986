#include "Orvane_Host/session/AnnotationModel.h"

#include <variant>

namespace orvane {

void AnnotationModel::add(AnnotationStroke stroke) {
    strokes_.modify([&](Strokes& s) { s.push_back(std::move(stroke)); });
}

void AnnotationModel::apply(const AnnotationEvent& event) {
    if (const auto* s = std::get_if<AnnotationEvent::Stroke>(&event))
        add(s->stroke);
    else
        clear();
}

}  // namespace orvane
