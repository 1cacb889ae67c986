#include "OrvaneKit/media/MediaTime.h"

#include <gtest/gtest.h>

#include <limits>

namespace orvane {
namespace {

TEST(MediaTime, MicrosRoundHalfAwayFromZero) {
    struct Case {
        int64_t value;
        int32_t timescale;
        uint64_t micros;
    };
    const Case cases[] = {
        {1, 3, 333'333},    // 333333.33
        {2, 3, 666'667},    // 666666.67
        {1, 2'000'000, 1},  // exactly half a microsecond rounds up
        {1, 2'000'001, 0},  // just under half
        {3, 2'000'000, 2},  // 1.5 µs
        {-1, 3, 0},         // negative -> 0
        {-1, 2'000'000, 0},
        {5, 0, 0},  // no timescale
        {90'000, 90'000, 1'000'000},
        {1'234'567'890'123'456'789, 1'000'000'000, 1'234'567'890'123'457},  // no overflow
        {std::numeric_limits<int64_t>::max(), 1, std::numeric_limits<uint64_t>::max()},
    };
    for (const auto& c : cases) {
        EXPECT_EQ((MediaTime{c.value, c.timescale}.toMicros()), c.micros)
            << c.value << "/" << c.timescale;
    }
}

}  // namespace
}  // namespace orvane
