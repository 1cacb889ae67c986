// Encoder CPU per second of 48 kHz stereo sound, against FFmpeg's own AAC-LC encoder at the
// same rate on the same kind of input, measured in the same run.
// Printed: our CPU share of one core, FFmpeg's, and their ratio (ours / FFmpeg's).
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "OrvaneKit/media/AudioEncoder.h"
#include "OrvaneKit/media/testing/AudioTestSignals.h"

namespace {

using namespace orvane;

double childCpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_CHILDREN, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// CPU seconds FFmpeg spends per second of audio: a long run minus a short one, so process
// start-up cancels out.
double ffmpegCpuPerAudioSecond() {
    auto run = [](int seconds) {
        std::string cmd =
            "ffmpeg -nostdin -v error -f lavfi -i sine=frequency=1000:sample_rate=48000:duration=" +
            std::to_string(seconds) + " -ac 2 -c:a aac -b:a 128k -f null - >/dev/null 2>&1";
        double before = childCpuSeconds();
        if (std::system(cmd.c_str()) != 0) return -1.0;
        return childCpuSeconds() - before;
    };
    double best = 1e9;
    for (int i = 0; i < 3; ++i) {
        double longer = run(31), shorter = run(1);
        if (longer < 0 || shorter < 0) return -1;
        best = std::min(best, (longer - shorter) / 30.0);
    }
    return best;
}

void encodeSeconds(benchmark::State& state, PcmBuffer (*make)()) {
    PcmBuffer input = make();
    double audioSeconds = input.frameCount() / 48000.0;
    // 10 ms buffers, as capture delivers them.
    std::vector<PcmBuffer> chunks;
    for (size_t at = 0; at + 480 <= input.frameCount(); at += 480) {
        PcmBuffer c(input.format, 480);
        for (size_t ch = 0; ch < 2; ++ch)
            std::copy(input.planes[ch].begin() + static_cast<std::ptrdiff_t>(at),
                      input.planes[ch].begin() + static_cast<std::ptrdiff_t>(at + 480),
                      c.planes[ch].begin());
        chunks.push_back(std::move(c));
    }
    auto encoder = AudioEncoder::create(48000, 2, 128000);
    size_t bytes = 0;
    for (auto _ : state)
        for (const PcmBuffer& c : chunks)
            for (const Bytes& p : encoder->encode(c)) bytes += p.size();
    double perIteration = audioSeconds;
    state.counters["audio_s"] =
        benchmark::Counter(perIteration, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["kbit_s"] = bytes * 8.0 / (perIteration * state.iterations()) / 1000;
}

void BM_OrvaneEncoderSine(benchmark::State& state) {
    encodeSeconds(state, [] { return testing::sineSignal(1000, 0.5, 2); });
}
void BM_OrvaneEncoderChirp(benchmark::State& state) {
    encodeSeconds(state, [] { return testing::chirpSignal(50, 20000, 0.3, 2); });
}
void BM_OrvaneEncoderPink(benchmark::State& state) {
    encodeSeconds(state, [] { return testing::pinkNoise(0.2, 2); });
}
BENCHMARK(BM_OrvaneEncoderSine)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_OrvaneEncoderChirp)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_OrvaneEncoderPink)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();

// Quality of the same sine and chirp through the decoder, for the record.
void BM_OrvaneQuality(benchmark::State& state) {
    double sine = 0, chirp = 0;
    for (auto _ : state) {
        sine = testing::encodeAndMeasure(testing::sineSignal(1000, 0.5, 2)).snrDb;
        chirp = testing::encodeAndMeasure(testing::chirpSignal(50, 20000, 0.3, 2)).snrDb;
    }
    state.counters["sine_snr_db"] = sine;
    state.counters["chirp_snr_db"] = chirp;
}
BENCHMARK(BM_OrvaneQuality)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    // Our figure again, with plain process CPU time, to set against FFmpeg's.
    PcmBuffer input = testing::sineSignal(1000, 0.5, 10);
    auto encoder = AudioEncoder::create(48000, 2, 128000);
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    for (size_t at = 0; at + 480 <= input.frameCount(); at += 480) {
        PcmBuffer c(input.format, 480);
        for (size_t ch = 0; ch < 2; ++ch)
            std::copy(input.planes[ch].begin() + static_cast<std::ptrdiff_t>(at),
                      input.planes[ch].begin() + static_cast<std::ptrdiff_t>(at + 480),
                      c.planes[ch].begin());
        benchmark::DoNotOptimize(encoder->encode(c));
    }
    getrusage(RUSAGE_SELF, &after);
    auto secs = [](const rusage& u) {
        return u.ru_utime.tv_sec + u.ru_stime.tv_sec +
               (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
    };
    double ours = (secs(after) - secs(before)) / 10.0;
    double theirs = ffmpegCpuPerAudioSecond();
    std::printf("orvane ELD encoder: %.2f %% of one core\n", ours * 100);
    if (theirs > 0) {
        std::printf("ffmpeg AAC-LC 128k: %.2f %% of one core\n", theirs * 100);
        std::printf("ratio (orvane / ffmpeg): %.2f\n", ours / theirs);
    } else {
        std::printf("ffmpeg not available: no ratio\n");
    }
    return 0;
}
