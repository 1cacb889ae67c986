// Our AAC-ELD encoder against FFmpeg's own AAC-LC encoder at the same bit rate (128 kbit/s,
// 48 kHz stereo), on five classes of sound: a sine, a chirp, speech-like voiced syllables,
// plucked chords and pink noise. For each class, in the same run:
//  - CPU per second of audio: ours is the encoding thread's CPU time over 10 ms buffers, as
//    capture delivers them; FFmpeg's is one single-threaded ffmpeg reading the same samples from
//    a file and encoding them, minus the same ffmpeg reading that file and writing the samples
//    unencoded (its start-up and input cost), best of three each;
//  - segmental SNR (mean over 10 ms segments, each clamped to [-10, 90] dB) after decoding, with
//    each codec's delay taken out, and the bit rate each actually produced.
// No perceptual measure is packaged for Debian, so segmental SNR is the quality figure; on a
// pure sine it says little about what listeners hear.
//
//   bench_audio [SECONDS]          (default 10 s of each signal; run pinned: taskset -c N)
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "OrvaneKit/media/AudioEncoder.h"
#include "OrvaneKit/media/testing/AudioTestSignals.h"

namespace {

using namespace orvane;

constexpr double kRate = 48000;
constexpr size_t kSegment = 480;  // 10 ms

double threadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double childCpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_CHILDREN, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Voiced "syllables": a glottal pulse train at a gliding pitch through three formant
// resonators, with syllable-rate loudness and short pauses.
PcmBuffer speechLike(double seconds) {
    const auto frames = static_cast<size_t>(seconds * kRate);
    PcmBuffer b(PcmFormat{kRate, 2}, frames);
    struct Resonator {
        double a1 = 0, a2 = 0, y1 = 0, y2 = 0;
        void tune(double hz, double bandwidth) {
            const double r = std::exp(-M_PI * bandwidth / kRate);
            a1 = 2 * r * std::cos(2 * M_PI * hz / kRate);
            a2 = -r * r;
        }
        double step(double x) {
            const double y = x + a1 * y1 + a2 * y2;
            y2 = y1;
            y1 = y;
            return y;
        }
    };
    // Formant sets of a few vowels, cycled syllable by syllable.
    const double vowels[5][3] = {{730, 1090, 2440},
                                 {270, 2290, 3010},
                                 {530, 1840, 2480},
                                 {570, 840, 2410},
                                 {300, 870, 2240}};
    Resonator f[3];
    double phase = 0;
    unsigned noise = 12345;
    const double syllable = 0.22;
    for (size_t n = 0; n < frames; ++n) {
        const double t = static_cast<double>(n) / kRate;
        const auto s = static_cast<int>(t / syllable);
        if (n % 240 == 0)
            for (int k = 0; k < 3; ++k) f[k].tune(vowels[s % 5][k], 80.0 + 40 * k);
        const double pitch = 110 + 25 * std::sin(2 * M_PI * 0.7 * t) + 8 * (s % 3);
        phase += pitch / kRate;
        double excitation = 0;
        if (phase >= 1) {
            phase -= 1;
            excitation = 1;
        }
        noise = noise * 1103515245u + 12345u;
        excitation += 0.02 * (static_cast<double>(noise >> 8) / (1u << 24) - 0.5);
        const double within = std::fmod(t, syllable) / syllable;
        const double envelope = (s % 7 == 6) ? 0.0 : std::sin(M_PI * within);
        double y = 0;
        for (int k = 0; k < 3; ++k) y += f[k].step(excitation) / (1 + k);
        const auto v = static_cast<float>(0.02 * envelope * y);
        b.planes[0][n] = v;
        b.planes[1][n] = v;
    }
    // Scale to a peak of 0.5.
    float peak = 1e-9f;
    for (float v : b.planes[0]) peak = std::max(peak, std::fabs(v));
    for (auto& plane : b.planes)
        for (float& v : plane) v *= 0.5f / peak;
    return b;
}

struct Quality {
    double segmentalSnrDb = NAN;
    double kbitPerSecond = NAN;
};

// Segmental SNR of decoded against input, over the middle (20 ms trimmed at each end), with
// the decoded stream shifted by the delay that gives the best overall SNR. Segments more than
// 50 dB below the signal's mean power (pauses) are left out, as usual for this measure.
double segmentalSnr(const PcmBuffer& input, const std::vector<float>& interleaved) {
    const size_t frames = interleaved.size() / 2, total = input.frameCount();
    const size_t skip = static_cast<size_t>(0.02 * kRate);
    size_t bestDelay = 0;
    double bestErr = INFINITY;
    for (size_t delay = 0; delay <= 4096; ++delay) {
        if (skip + delay + (total - 2 * skip) > frames) break;
        double err = 0;
        for (size_t i = skip; i < total - skip; i += 7)  // a sparse pass suffices to align
            for (size_t c = 0; c < 2; ++c) {
                const double e = input.planes[c][i] - interleaved[(i + delay) * 2 + c];
                err += e * e;
            }
        if (err < bestErr) {
            bestErr = err;
            bestDelay = delay;
        }
    }
    double meanPower = 0;
    for (size_t c = 0; c < 2; ++c)
        for (size_t n = skip; n < total - skip; ++n)
            meanPower += input.planes[c][n] * input.planes[c][n];
    const double floor = meanPower / static_cast<double>(total - 2 * skip) * kSegment * 1e-5;
    double sum = 0;
    int segments = 0;
    for (size_t s = skip; s + kSegment <= total - skip; s += kSegment) {
        double ss = 0, ee = 0;
        for (size_t c = 0; c < 2; ++c)
            for (size_t n = s; n < s + kSegment && (n + bestDelay) * 2 + c < interleaved.size();
                 ++n) {
                const double x = input.planes[c][n], e = x - interleaved[(n + bestDelay) * 2 + c];
                ss += x * x;
                ee += e * e;
            }
        if (ss < floor) continue;
        sum += std::clamp(10 * std::log10((ss + 1e-20) / (ee + 1e-20)), -10.0, 90.0);
        ++segments;
    }
    return segments ? sum / segments : NAN;
}

struct Peer {
    double cpuPerAudioSecond = -1;
    Quality quality;
};

bool run(const std::string& cmd) {
    return std::system((cmd + " >/dev/null 2>&1").c_str()) == 0;
}

Peer measurePeer(const PcmBuffer& input) {
    Peer peer;
    char dir[] = "/tmp/orvane-bench-XXXXXX";
    if (!mkdtemp(dir)) return peer;
    const std::string raw = std::string(dir) + "/in.f32", coded = std::string(dir) + "/out.aac",
                      back = std::string(dir) + "/back.f32";
    std::vector<float> interleaved(input.frameCount() * 2);
    for (size_t n = 0; n < input.frameCount(); ++n)
        for (size_t c = 0; c < 2; ++c) interleaved[n * 2 + c] = input.planes[c][n];
    if (FILE* f = std::fopen(raw.c_str(), "wb")) {
        std::fwrite(interleaved.data(), sizeof(float), interleaved.size(), f);
        std::fclose(f);
    }
    const std::string in =
        "ffmpeg -nostdin -v error -y -threads 1 -f f32le -ar 48000 -ac 2 -i " + raw;
    const auto cpuOf = [](const std::string& cmd) {
        const double before = childCpuSeconds();
        return run(cmd) ? childCpuSeconds() - before : -1.0;
    };
    double encode = INFINITY, readOnly = INFINITY;
    for (int i = 0; i < 3; ++i) {
        const double e = cpuOf(in + " -c:a aac -b:a 128k -f null -");
        const double r = cpuOf(in + " -c:a pcm_f32le -f null -");
        if (e < 0 || r < 0) break;
        encode = std::min(encode, e);
        readOnly = std::min(readOnly, r);
    }
    const double seconds = static_cast<double>(input.frameCount()) / kRate;
    if (std::isfinite(encode)) peer.cpuPerAudioSecond = std::max(0.0, encode - readOnly) / seconds;
    if (run(in + " -c:a aac -b:a 128k -f adts " + coded) &&
        run("ffmpeg -nostdin -v error -y -i " + coded + " -f f32le -ac 2 " + back)) {
        std::vector<float> out;
        if (FILE* f = std::fopen(back.c_str(), "rb")) {
            float buf[4096];
            size_t n;
            while ((n = std::fread(buf, sizeof(float), 4096, f)) > 0)
                out.insert(out.end(), buf, buf + n);
            std::fclose(f);
        }
        peer.quality.segmentalSnrDb = segmentalSnr(input, out);
        peer.quality.kbitPerSecond =
            static_cast<double>(std::filesystem::file_size(coded)) * 8 / seconds / 1000;
    }
    std::filesystem::remove_all(dir);
    return peer;
}

// Best of three passes over the signal in 10 ms buffers.
double oursCpuPerAudioSecond(const PcmBuffer& input) {
    std::vector<PcmBuffer> chunks;
    for (size_t at = 0; at + kSegment <= input.frameCount(); at += kSegment) {
        PcmBuffer c(input.format, kSegment);
        for (size_t ch = 0; ch < 2; ++ch)
            std::copy(input.planes[ch].begin() + static_cast<std::ptrdiff_t>(at),
                      input.planes[ch].begin() + static_cast<std::ptrdiff_t>(at + kSegment),
                      c.planes[ch].begin());
        chunks.push_back(std::move(c));
    }
    double best = INFINITY;
    size_t sink = 0;
    for (int pass = 0; pass < 3; ++pass) {
        auto encoder = AudioEncoder::create(kRate, 2, 128000);
        const double cpu0 = threadCpuSeconds();
        for (const PcmBuffer& c : chunks)
            for (const Bytes& p : encoder->encode(c)) sink += p.size();
        best = std::min(best, threadCpuSeconds() - cpu0);
    }
    if (sink == 0) std::printf("(our encoder produced nothing)\n");
    return best / (static_cast<double>(chunks.size() * kSegment) / kRate);
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    char load[64] = "?";
    if (FILE* f = std::fopen("/proc/loadavg", "r")) {
        if (!std::fgets(load, sizeof(load), f)) load[0] = 0;
        std::fclose(f);
    }
    load[std::strcspn(load, " ")] = 0;
    std::printf(
        "Held equal: 48 kHz stereo float input, 128 kbit/s target, the same %.0f s of each signal, "
        "one thread each; ours AAC-ELD in 10 ms buffers, FFmpeg AAC-LC from a file (its input "
        "cost subtracted).\nMachine: nproc %ld, load %s\n\n",
        seconds, sysconf(_SC_NPROCESSORS_ONLN), load);
    if (!run("ffmpeg -version")) {
        std::printf("ffmpeg not available: no comparison\n");
        return 1;
    }
    struct Case {
        const char* name;
        PcmBuffer signal;
    };
    const Case cases[] = {
        {"sine 1 kHz", testing::sineSignal(1000, 0.5, seconds)},
        {"chirp 50 Hz-20 kHz", testing::chirpSignal(50, 20000, 0.3, seconds)},
        {"speech-like", speechLike(seconds)},
        {"plucked chords", testing::pluckedChords(seconds)},
        {"pink noise", testing::pinkNoise(0.2, seconds)},
    };
    std::printf("%-20s %11s %11s %9s | %9s %9s | %8s %8s\n", "signal", "ours %core", "ffmpeg %core",
                "CPU ratio", "ours SSNR", "ff SSNR", "ours kb/s", "ff kb/s");
    for (const Case& c : cases) {
        const double ours = oursCpuPerAudioSecond(c.signal);
        const auto measured = testing::encodeAndMeasure(c.signal);
        std::vector<float> decoded(c.signal.frameCount() * 2);
        for (size_t n = 0; n < c.signal.frameCount(); ++n)
            for (size_t ch = 0; ch < 2; ++ch) decoded[n * 2 + ch] = measured.decoded.planes[ch][n];
        const double oursSsnr = segmentalSnr(c.signal, decoded);
        const Peer peer = measurePeer(c.signal);
        std::printf("%-20s %10.2f%% %10.2f%% %9.2f | %7.1f dB %6.1f dB | %8.1f %8.1f\n", c.name,
                    ours * 100, peer.cpuPerAudioSecond * 100,
                    peer.cpuPerAudioSecond > 0 ? ours / peer.cpuPerAudioSecond : NAN, oursSsnr,
                    peer.quality.segmentalSnrDb, measured.kbitPerSecond,
                    peer.quality.kbitPerSecond);
    }
    std::printf(
        "\nCPU ratio = ours / FFmpeg's (below 1: ours cheaper). SSNR = segmental SNR; on a pure "
        "sine it is no measure of quality.\n");
    return 0;
}
