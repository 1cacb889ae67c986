#include "OrvaneKit/media/EldFilterbank.h"

#include <cmath>

#include "OrvaneKit/media/EldWindow.h"

namespace orvane {

namespace {

constexpr int kN = EldFilterbank::kFrame;
constexpr int kM = kN / 2;  // complex FFT size
constexpr int kFactors[] = {4, 4, 3, 5};
constexpr double kPi = 3.14159265358979323846;

}  // namespace

EldFilterbank::EldFilterbank() {
    reversedWindow_.assign(kSpan, 0.0f);
    for (int r = 0; r < kSpan; ++r) {
        int n = kSpan - 1 - r;
        reversedWindow_[static_cast<size_t>(r)] = n < kEldWindowLength ? kEldWindow480[n] : 0.0f;
    }
    preTwiddle_.resize(kM);
    postTwiddle_.resize(kM);
    roots_.resize(kM);
    for (int n = 0; n < kM; ++n) {
        preTwiddle_[static_cast<size_t>(n)] =
            std::polar(1.0, -kPi * (n + 0.25) / kN) * (1.0 / 16.0);
        postTwiddle_[static_cast<size_t>(n)] = std::polar(1.0, -kPi * n / kN);
        roots_[static_cast<size_t>(n)] = std::polar(1.0, -2.0 * kPi * n / kM);
    }
    // Digit-reversed input order for the decimation-in-time stages.
    bitOrder_.resize(kM);
    for (int i = 0; i < kM; ++i) {
        int rest = i, rev = 0, radixProduct = kM;
        for (int f : kFactors) {
            radixProduct /= f;
            rev += (rest % f) * radixProduct;
            rest /= f;
        }
        bitOrder_[static_cast<size_t>(i)] = rev;
    }
}

void EldFilterbank::fft(std::complex<float>* data) const {
    std::complex<float> tmp[kM];
    for (int i = 0; i < kM; ++i) tmp[bitOrder_[static_cast<size_t>(i)]] = data[i];
    // Iterative mixed radix: combine groups of `m` into groups of m*p, last factor first.
    int m = 1;
    for (int s = static_cast<int>(std::size(kFactors)) - 1; s >= 0; --s) {
        int p = kFactors[s];
        int span = m * p;
        int rootStep = kM / span;
        for (int base = 0; base < kM; base += span) {
            for (int k = 0; k < m; ++k) {
                std::complex<float> in[5];
                for (int j = 0; j < p; ++j)
                    in[j] = tmp[base + j * m + k] * roots_[static_cast<size_t>(j * k * rootStep)];
                for (int q = 0; q < p; ++q) {
                    std::complex<float> acc = in[0];
                    for (int j = 1; j < p; ++j)
                        acc += in[j] * roots_[static_cast<size_t>((j * q * m * rootStep) % kM)];
                    data[base + q * m + k] = acc;
                }
            }
        }
        if (s > 0) std::copy(data, data + kM, tmp);
        m = span;
    }
}

void EldFilterbank::analyze(const float* input, float* out) const {
    // Window, then fold the 1920-sample antiperiodic kernel to 960 (z) and on to 480 (u).
    float a[kSpan];
    for (int r = 0; r < kSpan; ++r) a[r] = input[r] * reversedWindow_[static_cast<size_t>(r)];
    float b[2 * kN];
    for (int r = 0; r < 2 * kN; ++r) b[r] = a[r] - a[r + 2 * kN];
    auto z = [&](int n) { return n < 360 ? b[n + 600] : -b[n - 360]; };
    float u[kN];
    for (int n = 0; n < kN / 2; ++n) u[n] = -z(3 * kN / 2 - 1 - n) - z(3 * kN / 2 + n);
    for (int n = kN / 2; n < kN; ++n) u[n] = z(n - kN / 2) - z(3 * kN / 2 - 1 - n);

    std::complex<float> t[kM];
    for (int n = 0; n < kM; ++n)
        t[n] =
            std::complex<float>(u[2 * n], u[kN - 1 - 2 * n]) * preTwiddle_[static_cast<size_t>(n)];
    fft(t);
    for (int k = 0; k < kM; ++k) {
        std::complex<float> y = t[k] * postTwiddle_[static_cast<size_t>(k)];
        out[2 * k] = y.real();
        out[kN - 1 - 2 * k] = -y.imag();
    }
}

void EldFilterbank::analyzeDirect(const float* input, double* out) {
    for (int k = 0; k < kN; ++k) {
        double sum = 0;
        for (int r = 0; r < kSpan; ++r) {
            int n = kSpan - 1 - r;
            double w = n < kEldWindowLength ? kEldWindow480[n] : 0.0;
            sum += input[r] * w * std::cos(kPi / kN * (r - 359.5) * (k + 0.5));
        }
        out[k] = sum / 16.0;
    }
}

}  // namespace orvane
