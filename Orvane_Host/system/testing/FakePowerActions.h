#pragma once

#include <atomic>

#include "OrvaneKit/base/testing/CallLog.h"
#include "Orvane_Host/system/DisplayPower.h"
#include "Orvane_Host/system/PowerActions.h"

namespace orvane {

class FakePowerActions final : public PowerActions, public DisplayPower {
public:
    explicit FakePowerActions(CallLog& log) : log_(log) {}
    void lockScreen() override { log_.add("power.lockScreen"); }
    void restart() override { log_.add("power.restart"); }
    bool sleepDisplay() override {
        log_.add("power.sleepDisplay");
        return displayHasPowerControl;
    }
    std::atomic<bool> displayHasPowerControl{true};

private:
    CallLog& log_;
};

}  // namespace orvane
