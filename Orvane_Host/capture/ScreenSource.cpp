#include "Orvane_Host/capture/ScreenSource.h"

namespace orvane {

std::optional<DisplayInfo> ScreenSource::mainDisplay() {
    const std::vector<DisplayInfo> all = displays();
    for (const DisplayInfo& d : all)
        if (d.primary) return d;
    if (all.empty()) return std::nullopt;
    return all.front();
}

}  // namespace orvane
