#pragma once

namespace orvane {

// What the host may do to the machine's session on a viewer's or the owner's behalf.
class PowerActions {
public:
    virtual ~PowerActions() = default;
    // Locks the local session; quietly does nothing where the system offers no lock.
    virtual void lockScreen() = 0;
    // Asks the system to restart; the system may still ask the person at the machine or refuse.
    virtual void restart() = 0;
};

}  // namespace orvane
