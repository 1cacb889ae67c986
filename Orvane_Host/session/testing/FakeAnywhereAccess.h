#pragma once

#include "OrvaneKit/base/testing/CallLog.h"
#include "Orvane_Host/session/IAnywhereAccess.h"

namespace orvane {

// Records "anywhere.publish" when a publish runs.
class FakeAnywhereAccess final : public IAnywhereAccess {
public:
    explicit FakeAnywhereAccess(CallLog& log) : log_(log) {}
    asio::awaitable<void> publish() override {
        log_.add("anywhere.publish");
        co_return;
    }

private:
    CallLog& log_;
};

}  // namespace orvane
