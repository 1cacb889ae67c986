#pragma once

#include <string>

#include "Orvane_Host/system/DisplayPower.h"

namespace orvane {

// Turns the X display's monitors off through its power-management extension (DPMS), on a
// connection of its own made for each call. Safe from any thread.
class X11DisplayPower final : public DisplayPower {
public:
    // `display` as in $DISPLAY; empty means $DISPLAY itself.
    explicit X11DisplayPower(std::string display = "") : display_(std::move(display)) {}
    bool sleepDisplay() override;

private:
    std::string display_;
};

}  // namespace orvane
