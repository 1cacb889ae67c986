#pragma once

namespace orvane {

// The low-delay synthesis window for 480-line frames, 1800 taps, peak 1.0653 (its last N/4
// taps of the 4N span are zero). Measured from a conforming decoder by tools/eld-window.
inline constexpr int kEldWindowLength = 1800;
extern const float kEldWindow480[kEldWindowLength];

}  // namespace orvane
