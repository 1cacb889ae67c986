#include "Orvane_Host/capture/ScreenSource.h"

namespace orvane {

std::optional<CaptureDisplay> ScreenSource::mainDisplay() {
    const std::vector<CaptureDisplay> all = displays();
    for (const CaptureDisplay& d : all)
        if (d.primary) return d;
    if (all.empty()) return std::nullopt;
    return all.front();
}

}  // namespace orvane
