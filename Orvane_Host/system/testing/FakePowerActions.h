#pragma once

#include "OrvaneKit/base/testing/CallLog.h"
#include "Orvane_Host/system/PowerActions.h"

namespace orvane {

class FakePowerActions final : public PowerActions {
public:
    explicit FakePowerActions(CallLog& log) : log_(log) {}
    void lockScreen() override { log_.add("power.lockScreen"); }

private:
    CallLog& log_;
};

}  // namespace orvane
