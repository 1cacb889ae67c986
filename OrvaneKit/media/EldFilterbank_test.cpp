#include "OrvaneKit/media/EldFilterbank.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "OrvaneKit/media/EldWindow.h"
#include "OrvaneKit/media/ffmpeg/EldWindowProbe.h"

namespace orvane {
namespace {

TEST(EldFilterbank, FastTransformMatchesItsDefinition) {
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> d(-1, 1);
    std::vector<float> input(EldFilterbank::kSpan);
    for (float& v : input) v = d(rng);
    EldFilterbank fb;
    std::vector<float> fast(480);
    std::vector<double> direct(480);
    fb.analyze(input.data(), fast.data());
    EldFilterbank::analyzeDirect(input.data(), direct.data());
    double err = 0, ref = 0;
    for (int k = 0; k < 480; ++k) {
        err += (fast[k] - direct[k]) * (fast[k] - direct[k]);
        ref += direct[k] * direct[k];
    }
    EXPECT_LT(10 * std::log10(err / ref), -120);
}

// The committed window table must be what the linked decoder does today.
TEST(EldWindow, CommittedTableMatchesTheDecoder) {
    auto measured = EldWindowProbe::measure();
    ASSERT_TRUE(measured);
    EXPECT_LT(measured->relativeResidual, 1e-5);
    double worst = 0;
    for (int n = 0; n < 1920; ++n) {
        double table = n < kEldWindowLength ? kEldWindow480[n] : 0.0;
        worst = std::max(worst, std::fabs(measured->window[static_cast<size_t>(n)] - table));
    }
    EXPECT_LT(worst, 1e-6);
    EXPECT_NEAR(*std::max_element(kEldWindow480, kEldWindow480 + kEldWindowLength), 1.0652786,
                1e-6);
}

}  // namespace
}  // namespace orvane
