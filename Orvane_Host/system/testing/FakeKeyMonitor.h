#pragma once

#include <mutex>

#include "Orvane_Host/system/KeyMonitor.h"

namespace orvane {

// Delivers the presses a test sends, on the test's thread, while started.
class FakeKeyMonitor final : public KeyMonitor {
public:
    bool start(Handler handler) override {
        std::lock_guard lock(mutex_);
        if (!available) return false;
        handler_ = std::move(handler);
        ++starts;
        return true;
    }
    void stop() override {
        std::lock_guard lock(mutex_);
        if (handler_) ++stops;
        handler_ = nullptr;
    }
    bool running() const {
        std::lock_guard lock(mutex_);
        return static_cast<bool>(handler_);
    }
    void press(KeyPress key) {
        Handler h;
        {
            std::lock_guard lock(mutex_);
            h = handler_;
        }
        if (h) h(key);
    }
    bool available = true;
    int starts = 0, stops = 0;

private:
    mutable std::mutex mutex_;
    Handler handler_;
};

}  // namespace orvane
