#include "OrvaneKit/media/MediaTime.h"

namespace orvane {

uint64_t MediaTime::toMicros() const {
    if (timescale <= 0 || value <= 0) return 0;
    // 128-bit intermediate: value * 1e6 overflows int64 for times past ~2.5 hours at ns scale.
    const unsigned __int128 scaled = static_cast<unsigned __int128>(value) * 1'000'000u;
    const auto ts = static_cast<unsigned __int128>(timescale);
    unsigned __int128 q = scaled / ts;
    if ((scaled % ts) * 2 >= ts) ++q;  // half away from zero (value is positive here)
    if (q > UINT64_MAX) return UINT64_MAX;
    return static_cast<uint64_t>(q);
}

}  // namespace orvane
