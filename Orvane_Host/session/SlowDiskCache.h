#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <optional>

#include "OrvaneKit/base/Clock.h"
#include "Orvane_Host/system/HostFacts.h"

namespace orvane {

// The boot volume's capacities, queried at most once a minute: the query is the slow part of a
// host status. A failed query is kept too, so it is not retried at every status.
class SlowDiskCache {
public:
    static constexpr std::chrono::seconds maxAge{60};

    SlowDiskCache(const Clock& clock, std::function<DiskCapacity()> query)
        : clock_(clock), query_(std::move(query)) {}

    // Callable from any thread. Two readers of an expired value may both query; the later
    // store wins.
    DiskCapacity read();

private:
    struct Cached {
        DiskCapacity capacity;
        MonoTime at;
    };

    const Clock& clock_;
    std::function<DiskCapacity()> query_;
    std::mutex mutex_;
    std::optional<Cached> cached_;
};

}  // namespace orvane
