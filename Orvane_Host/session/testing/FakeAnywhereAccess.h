#pragma once

#include "OrvaneKit/base/testing/CallLog.h"
#include "Orvane_Host/session/IAnywhereAccess.h"

namespace orvane {

// Records "anywhere.publish", "anywhere.start" and "anywhere.stop"; keeps the handler it was
// started with, so a test can run a command as a fetched one would.
class FakeAnywhereAccess final : public IAnywhereAccess {
public:
    explicit FakeAnywhereAccess(CallLog& log) : log_(log) {}
    asio::awaitable<void> publish() override {
        log_.add("anywhere.publish");
        co_return;
    }
    void start(Perform perform) override {
        log_.add("anywhere.start");
        perform_ = std::move(perform);
    }
    void stop() override {
        log_.add("anywhere.stop");
        perform_ = nullptr;
    }
    const Perform& perform() const { return perform_; }

private:
    CallLog& log_;
    Perform perform_;
};

}  // namespace orvane
