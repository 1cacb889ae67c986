#pragma once

#include <chrono>

namespace orvane {

// Time since boot, counting suspension: the base for every duration and window.
struct BootClock {
    using duration = std::chrono::nanoseconds;
    using rep = duration::rep;
    using period = duration::period;
    using time_point = std::chrono::time_point<BootClock>;
    static constexpr bool is_steady = true;
    static time_point now() noexcept;
};

using WallTime = std::chrono::system_clock::time_point;
using MonoTime = BootClock::time_point;

class Clock {
public:
    virtual ~Clock() = default;
    // For shown and stored dates.
    virtual WallTime wallNow() const = 0;
    // For durations and windows; unaffected by wall-clock changes.
    virtual MonoTime monoNow() const = 0;
};

class SystemClock final : public Clock {
public:
    WallTime wallNow() const override { return std::chrono::system_clock::now(); }
    MonoTime monoNow() const override { return BootClock::now(); }
    static SystemClock& shared();
};

}  // namespace orvane
