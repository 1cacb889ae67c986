#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "OrvaneKit/protocol/Hello.h"

namespace orvane {

// Facts about the machine's screens that the session core needs.
class ScreenInfo {
public:
    virtual ~ScreenInfo() = default;
    virtual std::uint32_t mainDisplayID() const = 0;
    // Whether any screen can show more than standard dynamic range; never on X11.
    virtual bool anyScreenSupportsEDR() const = 0;
    // The displays that can be shared, in the system's order; none when capture is not allowed.
    virtual std::optional<std::vector<DisplayInfo>> shareableDisplays() const = 0;
    // Whether the screen can be captured at all, asking nobody.
    virtual bool canCapture() const { return shareableDisplays().has_value(); }
    // `handler` runs on the main actor once a burst of display changes has settled. Replaces any
    // earlier handler; an empty one stops the reports. Without a display server, never.
    virtual void setOnChanged(std::function<void()> handler) { (void)handler; }
};

}  // namespace orvane
