#pragma once

#include <complex>
#include <vector>

namespace orvane {

// Analysis filterbank matching the low-delay decoder's synthesis for 480-line frames: the
// time-reversed window over 1920 samples with a low-delay cosine modulation, folded to a
// 480-point DCT-IV computed through a 240-point complex FFT.
//
// Output units: a line value X is reproduced by the decoder from a quantised q with
// scalefactor sf when X = sign(q) |q|^(4/3) 2^((sf - 180) / 4).
class EldFilterbank {
public:
    static constexpr int kFrame = 480;
    static constexpr int kSpan = 1920;
    // Samples each frame needs beyond the 480 it reproduces.
    static constexpr int kLookahead = 240;

    EldFilterbank();

    // `input` holds the 1920 newest samples, oldest first; the frame reproduces input[1200]
    // to input[1679] after decoding. Writes 480 lines.
    void analyze(const float* input, float* out) const;

    // The same transform computed from its defining sum; slow, for tests.
    static void analyzeDirect(const float* input, double* out);

private:
    void fft(std::complex<float>* data) const;

    std::vector<float> reversedWindow_;            // W(1919 - r)
    std::vector<std::complex<float>> preTwiddle_;  // 240
    std::vector<std::complex<float>> postTwiddle_;
    std::vector<std::complex<float>> roots_;  // e^{-2 pi i t / 240}
    std::vector<int> bitOrder_;               // input order of the mixed-radix FFT
};

}  // namespace orvane
