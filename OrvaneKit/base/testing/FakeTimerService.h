#pragma once

#include <functional>
#include <mutex>
#include <vector>

#include "OrvaneKit/base/TimerService.h"
#include "OrvaneKit/base/testing/FakeClock.h"

namespace orvane {

// Timers under virtual time. advance() fires due timers in time order (ties in the order they
// were scheduled), moving the clock to each one's time; after each firing it runs `drain` so the
// posted callback executes before the next timer is looked at.
class FakeTimerService final : public TimerService {
public:
    explicit FakeTimerService(FakeClock& clock, std::function<void()> drain = {})
        : clock_(clock), drain_(std::move(drain)) {}

    TimerHandle after(Duration delay, asio::any_io_executor ex, std::function<void()> fn) override;
    void advance(Duration d);
    std::size_t pendingCount() const;

private:
    struct Entry {
        MonoTime due;
        std::uint64_t seq;
        asio::any_io_executor ex;
        std::function<void()> fn;
        std::shared_ptr<TimerHandle::State> state;
    };
    FakeClock& clock_;
    std::function<void()> drain_;
    mutable std::mutex mutex_;
    std::vector<Entry> entries_;
    std::uint64_t seq_ = 0;
};

}  // namespace orvane
