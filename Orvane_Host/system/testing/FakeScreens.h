#pragma once

#include "Orvane_Host/system/ScreenInfo.h"

namespace orvane {

class FakeScreens final : public ScreenInfo {
public:
    std::uint32_t mainID = 1;
    bool edr = false;
    std::uint32_t mainDisplayID() const override { return mainID; }
    bool anyScreenSupportsEDR() const override { return edr; }
};

}  // namespace orvane
