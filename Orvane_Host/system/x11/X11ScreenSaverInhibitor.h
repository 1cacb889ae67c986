#pragma once

#include <string>

#include "Orvane_Host/system/AwakeInhibitor.h"

namespace orvane {

// Suspends the X server's screen saver and display power saving for as long as the activity
// is held, on a connection of the activity's own (the server lifts a suspension when its
// client goes).
class X11ScreenSaverInhibitor final : public AwakeInhibitor {
public:
    // `displayName` empty means $DISPLAY.
    explicit X11ScreenSaverInhibitor(std::string displayName = {});
    std::unique_ptr<Activity> begin(const std::string& reason) override;

private:
    std::string name_;
};

}  // namespace orvane
