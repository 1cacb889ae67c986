#pragma once

#include "Orvane_Host/system/ScreenInfo.h"

namespace orvane {

class FakeScreens final : public ScreenInfo {
public:
    std::uint32_t mainID = 1;
    bool edr = false;
    std::uint32_t mainDisplayID() const override { return mainID; }
    bool anyScreenSupportsEDR() const override { return edr; }
    // nullopt: reading the displays fails, as without the capture permission.
    std::optional<std::vector<DisplayInfo>> displays =
        std::vector<DisplayInfo>{{1, "Built-in Display", 1512, 982}};
    std::optional<std::vector<DisplayInfo>> shareableDisplays() const override { return displays; }
};

}  // namespace orvane
