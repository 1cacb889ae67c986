#pragma once

#include <vector>

#include "OrvaneKit/base/Signal.h"
#include "OrvaneKit/protocol/AnnotationEvent.h"

namespace orvane {

// The strokes viewers have drawn on this machine's screens, oldest first. All viewers share one
// list, and a clear from anyone empties it. Main actor only.
class AnnotationModel {
public:
    using Strokes = std::vector<AnnotationStroke>;

    const Strokes& strokes() const { return strokes_.get(); }
    void add(AnnotationStroke stroke);
    // Notifies only when there was something to clear.
    void clear() { strokes_.set({}); }
    void apply(const AnnotationEvent& event);

    Signal<const Strokes&>& changed() { return strokes_.changed; }

private:
    Observable<Strokes> strokes_;
};

}  // namespace orvane
