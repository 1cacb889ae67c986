#include "OrvaneKit/base/Clock.h"

#include <time.h>

namespace orvane {

BootClock::time_point BootClock::now() noexcept {
    timespec ts{};
    clock_gettime(CLOCK_BOOTTIME, &ts);
    return time_point(std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec));
}

SystemClock& SystemClock::shared() {
    static SystemClock clock;
    return clock;
}

}  // namespace orvane
