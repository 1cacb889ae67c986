#include "OrvaneKit/media/ffmpeg/EldWindowProbe.h"

#include <cmath>

#include "OrvaneKit/media/AudioSpecificConfig.h"
#include "OrvaneKit/media/EldBitstream.h"
#include "OrvaneKit/media/ffmpeg/AudioDecoder.h"

namespace orvane {

namespace {

constexpr int kN = 480;
constexpr double kPhase = 840.5;
// Decoder gain for q = 1 at scalefactor 180: 2^((180-100)/4) / (16 * 1024 * 960) = 1/15.
constexpr double kGain = 1.0 / 15.0;

Bytes lineFrame(int line) {
    EldFrameData frame;
    int band = 0;
    while (aac::kBandOffsets480[band + 1] <= line) ++band;
    frame.maxSfb = band + 1;
    frame.channel[0].globalGain = 180;
    frame.channel[0].codebook[static_cast<size_t>(band)] = 11;
    frame.channel[0].scalefactor[static_cast<size_t>(band)] = 180;
    frame.channel[0].spectrum[static_cast<size_t>(line)] = 1;
    BitWriter w;
    eld::writeFrame(w, frame);
    return w.take();
}

}  // namespace

std::optional<EldWindowProbe::Result> EldWindowProbe::measure() {
    auto config = AudioSpecificConfig::make(48000, 2);
    AudioStreamFormat format{48000, 2, kN, config->serialize()};
    auto decoder = AudioDecoder::create(format);
    if (!decoder) return std::nullopt;

    BitWriter silentWriter;
    eld::writeFrame(silentWriter, EldFrameData{});
    Bytes silent = silentWriter.take();

    std::vector<std::vector<double>> responses(kN, std::vector<double>(4 * kN));
    for (int k = 0; k < kN; ++k) {
        Bytes line = lineFrame(k);
        for (int f = 0; f < 4; ++f) {
            auto pcm = decoder->decode(f == 0 ? ByteView(line) : ByteView(silent));
            if (!pcm || pcm->frameCount() != kN) return std::nullopt;
            for (int n = 0; n < kN; ++n)
                responses[static_cast<size_t>(k)][static_cast<size_t>(f * kN + n)] =
                    pcm->planes[0][static_cast<size_t>(n)];
        }
    }

    Result result;
    result.window.assign(4 * kN, 0.0);
    double residual = 0, energy = 0;
    std::vector<double> c(kN);
    for (int n = 0; n < 4 * kN; ++n) {
        double num = 0, den = 0;
        for (int k = 0; k < kN; ++k) {
            c[static_cast<size_t>(k)] = std::cos(M_PI / kN * (n + kPhase) * (k + 0.5));
            num += responses[static_cast<size_t>(k)][static_cast<size_t>(n)] *
                   c[static_cast<size_t>(k)];
            den += c[static_cast<size_t>(k)] * c[static_cast<size_t>(k)];
        }
        double w = num / den;
        for (int k = 0; k < kN; ++k) {
            double y = responses[static_cast<size_t>(k)][static_cast<size_t>(n)];
            double e = y - w * c[static_cast<size_t>(k)];
            residual += e * e;
            energy += y * y;
        }
        result.window[static_cast<size_t>(n)] = w / kGain;
    }
    result.relativeResidual = energy > 0 ? std::sqrt(residual / energy) : 1.0;
    return result;
}

}  // namespace orvane
