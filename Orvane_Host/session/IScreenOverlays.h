#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "OrvaneKit/protocol/AnnotationEvent.h"
#include "Orvane_Host/session/AnnotationModel.h"

namespace orvane {

// The windows the host draws on its own screens: curtain, session border and control pill.
class IScreenOverlays {
public:
    using StopAction = std::function<void()>;
    virtual ~IScreenOverlays() = default;
    // Returns whether anything changed.
    virtual bool setCurtain(bool on, StopAction stop) = 0;
    virtual void showSessionIndicator(std::uint32_t displayID, std::vector<std::string> names,
                                      bool support, StopAction stop) = 0;
    virtual void hideSessionIndicator() = 0;
    // Empties the annotations and takes the drawing off the screen.
    virtual void clearAnnotations() = 0;
    // A viewer's drawing on one display.
    virtual void applyAnnotation(const AnnotationEvent& event, std::uint32_t displayID) = 0;
    // The strokes on screen; the same object for the overlays' whole life.
    virtual AnnotationModel& annotations() = 0;
    // Why the last raise of the curtain was refused, once; empty when nothing was refused.
    virtual std::optional<std::string> takeCurtainError() { return std::nullopt; }
};

}  // namespace orvane
