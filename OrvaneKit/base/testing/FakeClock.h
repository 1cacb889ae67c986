#pragma once

#include <mutex>

#include "OrvaneKit/base/Clock.h"

namespace orvane {

// Virtual time: both clocks move only when a test advances them.
class FakeClock final : public Clock {
public:
    FakeClock()
        : wall_(std::chrono::system_clock::time_point(std::chrono::seconds(1'800'000'000))),
          mono_(std::chrono::hours(1)) {}
    WallTime wallNow() const override {
        std::lock_guard lock(mutex_);
        return wall_;
    }
    MonoTime monoNow() const override {
        std::lock_guard lock(mutex_);
        return mono_;
    }
    void advance(std::chrono::nanoseconds d) {
        std::lock_guard lock(mutex_);
        wall_ += std::chrono::duration_cast<std::chrono::system_clock::duration>(d);
        mono_ += d;
    }
    void setWall(WallTime t) {
        std::lock_guard lock(mutex_);
        wall_ = t;
    }

private:
    mutable std::mutex mutex_;
    WallTime wall_;
    MonoTime mono_;
};

}  // namespace orvane
