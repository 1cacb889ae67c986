// Capture benchmarks.
//
//   bench_capture                       in-process: our BGRX -> 4:2:0 conversion against swscale
//   bench_capture drive DISPLAY FPS SECONDS anim|static [WIDTH HEIGHT]
//                                       content driver: repaints the whole screen FPS times a
//                                       second (or paints once and holds still)
//   bench_capture ours DISPLAY CODEC SECONDS THREADS [MAXWIDTH [FPS]]
//                                       capture -> encode paced to FPS (60) into a null sink;
//                                       prints "frames=N cpu=SECONDS wall=SECONDS bytes=N"
//   bench_capture hog SECONDS           keeps one CPU busy (pin it with taskset)
//
// bench/capture/run.sh runs these against `ffmpeg -f x11grab` on a private Xvfb.

#include <benchmark/benchmark.h>
#include <sys/resource.h>

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include <asio/post.hpp>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <future>
#include <map>
#include <random>
#include <string>
#include <thread>

#include "OrvaneKit/media/VideoEncoder.h"
#include "OrvaneKit/media/x26x/LibraryEncoderBackend.h"
#include "Orvane_Host/capture/FrameConverter.h"
#include "Orvane_Host/capture/ScreenCapturer.h"
#include "Orvane_Host/capture/testing/X11TestPainter.h"
#include "Orvane_Host/capture/x11/X11ScreenSource.h"

using namespace orvane;

namespace {

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

std::vector<uint8_t> noise(int width, int height) {
    std::vector<uint8_t> px(static_cast<size_t>(width) * height * 4);
    std::mt19937 rng(1);
    for (auto& b : px) b = static_cast<uint8_t>(rng());
    return px;
}

void convertOurs(benchmark::State& state, int sw, int sh, int dw, int dh) {
    const auto src = noise(sw, sh);
    auto out = FrameBuffer::make(PixelFormat::nv12, dw, dh);
    FrameConverter converter;
    for (auto _ : state) {
        converter.convert(src.data(), sw * 4, sw, sh, *out);
        benchmark::DoNotOptimize(out->data(0)[0]);
    }
}

// swscale doing the same job: BGRA in, NV12 BT.709 limited range out, bilinear when scaling.
void convertSwscale(benchmark::State& state, int sw, int sh, int dw, int dh) {
    const auto src = noise(sw, sh);
    auto out = FrameBuffer::make(PixelFormat::nv12, dw, dh);
    SwsContext* sws = sws_getContext(sw, sh, AV_PIX_FMT_BGRA, dw, dh, AV_PIX_FMT_NV12, SWS_BILINEAR,
                                     nullptr, nullptr, nullptr);
    const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
    sws_setColorspaceDetails(sws, bt709, 1, bt709, 0, 0, 1 << 16, 1 << 16);
    const uint8_t* srcPlanes[4] = {src.data(), nullptr, nullptr, nullptr};
    const int srcStrides[4] = {sw * 4, 0, 0, 0};
    uint8_t* dst[4] = {out->data(0), out->data(1), nullptr, nullptr};
    const int dstStrides[4] = {out->stride(0), out->stride(1), 0, 0};
    for (auto _ : state) {
        sws_scale(sws, srcPlanes, srcStrides, 0, sh, dst, dstStrides);
        benchmark::DoNotOptimize(out->data(0)[0]);
    }
    sws_freeContext(sws);
}

BENCHMARK_CAPTURE(convertOurs, 1080p, 1920, 1080, 1920, 1080)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(convertSwscale, 1080p, 1920, 1080, 1920, 1080)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(convertOurs, 1440p_to_2304, 2560, 1440, 2304, 1296)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(convertSwscale, 1440p_to_2304, 2560, 1440, 2304, 1296)
    ->Unit(benchmark::kMillisecond);

// Prints the usual table, then ours/swscale per case.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs) {
            const std::string name = r.benchmark_name();
            const double perIter = r.GetAdjustedRealTime();
            if (name.rfind("convertOurs/", 0) == 0) ours_[name.substr(12)] = perIter;
            if (name.rfind("convertSwscale/", 0) == 0) peer_[name.substr(15)] = perIter;
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        for (const auto& [name, t] : ours_)
            if (peer_.count(name))
                std::printf("ratio conversion %s ours/swscale time: %.3f\n", name.c_str(),
                            t / peer_[name]);
    }

private:
    std::map<std::string, double> ours_, peer_;
};

int drive(const std::string& display, int fps, double seconds, bool still, int width, int height) {
    X11TestPainter painter(display, 0, 0, width, height);
    const auto start = std::chrono::steady_clock::now();
    const auto end = start + std::chrono::duration<double>(seconds);
    if (still) {
        painter.animate(0);
        painter.flush();
        std::this_thread::sleep_until(end);
        return 0;
    }
    const auto period = std::chrono::nanoseconds(1'000'000'000LL / fps);
    auto next = start;
    for (int step = 0; std::chrono::steady_clock::now() < end; ++step) {
        painter.animate(step);
        painter.flush();
        next += period;
        std::this_thread::sleep_until(next);
    }
    return 0;
}

int ours(const std::string& display, const std::string& codecName, double seconds, int threads,
         int maxWidth, int fps) {
    const auto codec = videoCodecFromName(codecName);
    if (!codec) {
        std::fprintf(stderr, "unknown codec %s\n", codecName.c_str());
        return 2;
    }
    const double cpu0 = cpuSeconds();

    NetContext net{2};
    auto source = std::make_shared<X11ScreenSource>(display);
    ScreenCapturer capturer(source, net);
    // Rate control budgets per frame at the capture rate, as ffmpeg's does from -framerate.
    VideoEncoder encoder(
        12'000'000, fps,
        std::make_shared<LibraryEncoderBackend>(EncoderTuning{"ultrafast", threads}));
    std::atomic<int64_t> frames{0}, bytes{0};
    encoder.onPacket = [&](VideoPacket p) {
        frames.fetch_add(1);
        bytes.fetch_add(static_cast<int64_t>(p.avcc.size()));
    };
    encoder.configure(12'000'000, fps, *codec);
    // Encoding runs on the capture queue, as in the host's pipeline.
    capturer.setOnFrame([&](const std::shared_ptr<FrameBuffer>& frame, MediaTime pts) {
        encoder.encode(*frame, pts);
    });
    capturer.setPixelFormat(*codec == VideoCodec::hevc ? PixelFormat::i420 : PixelFormat::nv12);
    const auto main = source->mainDisplay();
    if (!main) return 1;
    // Wall time from the start of capture, as ffmpeg's -benchmark counts from after opening
    // its input; process start-up stays out of the fps.
    const auto wall0 = std::chrono::steady_clock::now();
    capturer.start(*main, maxWidth, fps, false, false);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    capturer.stop();
    std::promise<void> drained;
    asio::post(capturer.queue(), [&] {
        encoder.invalidate();
        drained.set_value();
    });
    drained.get_future().wait();

    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    std::printf("frames=%lld cpu=%.3f wall=%.3f bytes=%lld\n",
                static_cast<long long>(frames.load()), cpuSeconds() - cpu0, wall,
                static_cast<long long>(bytes.load()));
    return 0;
}

int hog(double seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    volatile std::uint64_t x = 1;
    while (std::chrono::steady_clock::now() < end)
        for (int i = 0; i < 100000; ++i) x = x * 6364136223846793005ULL + 1;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "drive" && argc >= 5)
        return drive(argv[2], std::atoi(argv[3]), std::atof(argv[4]),
                     argc > 5 && std::string(argv[5]) == "static",
                     argc > 7 ? std::atoi(argv[6]) : 1920, argc > 7 ? std::atoi(argv[7]) : 1080);
    if (mode == "ours" && argc >= 6)
        return ours(argv[2], argv[3], std::atof(argv[4]), std::atoi(argv[5]),
                    argc > 6 ? std::atoi(argv[6]) : 3840, argc > 7 ? std::atoi(argv[7]) : 60);
    if (mode == "hog" && argc >= 3) return hog(std::atof(argv[2]));
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
