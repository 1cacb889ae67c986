#pragma once

#include <optional>
#include <vector>

namespace orvane {

// Measures the low-delay synthesis window of the linked decoder: each of the 480 lines is sent
// alone (q = 1, scalefactor 180) and followed by silent frames; the 1920 output samples of line
// k are w(n) cos(pi/480 (n + 840.5)(k + 1/2)), and a least-squares fit over k gives w.
struct EldWindowProbe {
    struct Result {
        std::vector<double> window;   // 1920 taps, scaled to the encoder's units (peak ~1.0653)
        double relativeResidual = 0;  // of the fit, over all responses
    };
    // None when the decoder is unavailable or refuses the probe stream.
    static std::optional<Result> measure();
};

}  // namespace orvane
