#pragma once

#include <cstdint>

namespace orvane {

// A presentation time as a rational number of seconds: value / timescale.
struct MediaTime {
    int64_t value = 0;
    int32_t timescale = 1;

    bool operator==(const MediaTime&) const = default;

    // Microseconds, rounded half away from zero; negative times and a non-positive timescale give
    // 0.
    uint64_t toMicros() const;
};

}  // namespace orvane
