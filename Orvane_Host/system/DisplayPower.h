#pragma once

namespace orvane {

// The display's power state.
class DisplayPower {
public:
    virtual ~DisplayPower() = default;
    // Turns the displays off now; they come back with the next input. False when the display
    // offers no power control or cannot be reached.
    virtual bool sleepDisplay() = 0;
};

}  // namespace orvane
