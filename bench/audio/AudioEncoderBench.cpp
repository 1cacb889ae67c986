// Encoder CPU per second of 48 kHz stereo sound, against FFmpeg's own AAC-LC encoder at the
// same rate on the same kind of input, measured in the same run.
// Printed: our CPU share of one core, FFmpeg's, their ratio (ours / FFmpeg's), and both
// encoders' SNR on a sine and a chirp.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

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

// SNR of FFmpeg's AAC-LC at 128 kbit/s on the same signal, after finding its delay.
double ffmpegSnr(const PcmBuffer& input) {
    char dir[] = "/tmp/orvane-bench-XXXXXX";
    if (!mkdtemp(dir)) return NAN;
    std::string raw = std::string(dir) + "/in.f32", coded = std::string(dir) + "/out.aac",
                back = std::string(dir) + "/back.f32";
    {
        std::vector<float> interleaved(input.frameCount() * 2);
        for (size_t n = 0; n < input.frameCount(); ++n)
            for (size_t c = 0; c < 2; ++c) interleaved[n * 2 + c] = input.planes[c][n];
        FILE* f = std::fopen(raw.c_str(), "wb");
        if (!f) return NAN;
        std::fwrite(interleaved.data(), sizeof(float), interleaved.size(), f);
        std::fclose(f);
    }
    std::string cmd = "ffmpeg -nostdin -v error -y -f f32le -ar 48000 -ac 2 -i " + raw +
                      " -c:a aac -b:a 128k -f adts " + coded +
                      " && ffmpeg -nostdin -v error -y -i " + coded + " -f f32le -ac 2 " + back;
    double snr = NAN;
    if (std::system(cmd.c_str()) == 0) {
        FILE* f = std::fopen(back.c_str(), "rb");
        std::vector<float> out;
        float buf[4096];
        size_t n;
        while (f && (n = std::fread(buf, sizeof(float), 4096, f)) > 0)
            out.insert(out.end(), buf, buf + n);
        if (f) std::fclose(f);
        size_t frames = out.size() / 2, skip = 4800, span = input.frameCount() - 2 * skip;
        for (size_t delay = 0; delay <= 4096; ++delay) {
            if (skip + delay + span > frames) break;
            double sig = 0, err = 0;
            for (size_t i = skip; i < skip + span; ++i)
                for (size_t c = 0; c < 2; ++c) {
                    double x = input.planes[c][i], e = x - out[(i + delay) * 2 + c];
                    sig += x * x;
                    err += e * e;
                }
            snr = std::isnan(snr) ? 10 * std::log10(sig / err)
                                  : std::max(snr, 10 * std::log10(sig / err));
        }
    }
    std::filesystem::remove_all(dir);
    return snr;
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
        for (auto [name, signal] : {std::pair{"sine 1 kHz", testing::sineSignal(1000, 0.1, 3)},
                                    std::pair{"chirp", testing::chirpSignal(50, 20000, 0.3, 3)}})
            std::printf("SNR on %s: orvane ELD %.1f dB, ffmpeg AAC-LC %.1f dB\n", name,
                        testing::encodeAndMeasure(signal).snrDb, ffmpegSnr(signal));
    } else {
        std::printf("ffmpeg not available: no ratio\n");
    }
    return 0;
}
