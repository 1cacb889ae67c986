// Browser viewer latency, glass to glass, beside the viewer apps' path in the same run: a frame
// counter painted 30 times a second on a private Xvfb, captured by the browser server's own
// pipeline and shown by Debian's chromium (headless, through playwright-core), which reads the
// counter from every picture it draws. The native figures come from bench_glass run on the same
// machine just before.
//
//   bench_browser [SECONDS] [WIDTH HEIGHT]      defaults: 10 s at 1280x720
//
// Prints the time from the code submitted to the first decoded frame (goal <= 1 s) and, per
// counter value, the time from its paint to its first drawing in the page: p50 and p95, and the
// p95 ratio browser / native (goal <= 1.5).

#include <unistd.h>

#include <algorithm>
#include <asio/thread_pool.hpp>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>
#include <regex>
#include <sstream>
#include <thread>

#include "OrvaneKit/media/x26x/LibraryEncoderBackend.h"
#include "OrvaneKit/net/testing/ChildProcess.h"
#include "OrvaneKit/protocol/Json.h"
#include "OrvaneKit/security/AccessCode.h"
#include "Orvane_Host/browser/BrowserServer.h"
#include "Orvane_Host/browser/PipelineBrowserVideo.h"
#include "Orvane_Host/capture/testing/X11TestPainter.h"
#include "Orvane_Host/capture/testing/XvfbServer.h"
#include "Orvane_Host/capture/x11/X11ScreenSource.h"
#include "Orvane_Host/input/testing/FakeInjector.h"
#include "Orvane_Host/system/testing/FakeScreens.h"
#include "tests/support/HostHome.h"

using namespace orvane;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

constexpr int kBits = 12, kBlock = 32, kPaintHz = 30;

double wallMs() {
    return std::chrono::duration<double, std::milli>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(p * (v.size() - 1)))];
}

// The viewer apps' figures: bench_glass's "ours" line.
std::optional<std::pair<double, double>> nativeFigures(int seconds, int width, int height) {
    const std::string glass = ORVANE_BINARY_DIR "/bench/bench_glass";
    if (::access(glass.c_str(), X_OK) != 0) return std::nullopt;
    auto [status, out] = ChildProcess::run(
        {glass, std::to_string(seconds), std::to_string(width), std::to_string(height)}, "",
        std::chrono::seconds(120 + 4 * seconds));
    std::smatch m;
    if (!std::regex_search(out, m,
                           std::regex(R"(ours\s+samples=\d+ p50=([\d.]+) ms p95=([\d.]+))")))
        return std::nullopt;
    return std::make_pair(std::stod(m[1]), std::stod(m[2]));
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::max(3, std::atoi(argv[1])) : 10;
    const int kWidth = argc > 3 ? std::atoi(argv[2]) : 1280;
    const int kHeight = argc > 3 ? std::atoi(argv[3]) : 720;
    const fs::path script = ORVANE_SOURCE_DIR "/tests/browser/viewer.mjs";
    const fs::path page = ORVANE_BINARY_DIR "/resources/browser-viewer.html";
    if (::access("/usr/bin/chromium", X_OK) != 0 ||
        !fs::exists(ORVANE_SOURCE_DIR "/tests/browser/node_modules/playwright-core") ||
        !fs::exists(page)) {
        std::fprintf(stderr,
                     "bench_browser: needs /usr/bin/chromium, npm ci in tests/browser "
                     "and the built viewer page\n");
        return 2;
    }
    Log::setStderr(false);
    auto native = nativeFigures(seconds, kWidth, kHeight);

    XvfbServer x;
    if (!x.start(kWidth, kHeight)) {
        std::fprintf(stderr, "bench_browser: no X server: %s\n", x.error().c_str());
        return 2;
    }
    X11TestPainter painter(x.display(), 0, 0, kWidth, kHeight);
    painter.fill(0, 0, kWidth, kHeight, 0x306090);
    painter.flush();

    NetContext net(2);
    asio::thread_pool blocking(1);
    auto screensSource = std::make_shared<X11ScreenSource>(x.display());
    FakeScreens screens;
    screens.displays = std::vector<DisplayInfo>{};
    for (const auto& d : screensSource->displays()) {
        screens.displays->push_back({d.id, d.name, static_cast<std::int64_t>(d.width),
                                     static_cast<std::int64_t>(d.height)});
        screens.mainID = d.id;
    }
    CallLog calls;
    FakeInjector injector(calls);
    VideoPipeline::Parts parts;
    parts.screens = screensSource;
    // The encoder settings of bench_glass, so the two differ only in the way to the screen.
    parts.encoders = std::make_shared<LibraryEncoderBackend>(EncoderTuning{"ultrafast", 4});
    parts.net = &net;
    parts.makeAudioEncoder = [] { return std::unique_ptr<AudioEncoder>(); };
    PipelineBrowserVideo video(parts);
    auto server =
        BrowserServer::make({net,
                             screens,
                             injector,
                             video,
                             blocking.get_executor(),
                             {},  // plain HTTP on loopback, already a secure context
                             [&]() -> std::optional<Bytes> { return toBytes(readFile(page)); },
                             0});
    const std::string code = AccessCode::generate();
    server->start(code);
    server->drain();

    // The counter, painted from the moment the page is asked to watch.
    std::mutex mutex;
    std::map<unsigned, double> paintedAt;
    std::atomic<bool> painting{true};
    std::thread paint([&] {
        auto next = std::chrono::steady_clock::now();
        for (unsigned n = 1; painting; ++n) {
            const unsigned value = n & ((1u << kBits) - 1);
            for (int i = 0; i < kBits; ++i) {
                const bool on = (value >> i) & 1;
                painter.fill(i * kBlock, 0, kBlock, kBlock, on ? 0xffffff : 0x000000);
                painter.fill((kBits + i) * kBlock, 0, kBlock, kBlock, on ? 0x000000 : 0xffffff);
            }
            painter.flush();  // until the server has drawn it
            {
                std::lock_guard g(mutex);
                paintedAt[value] = wallMs();
            }
            next += std::chrono::microseconds(1'000'000 / kPaintHz);
            std::this_thread::sleep_until(next);
        }
    });

    nlohmann::json options = {
        {"url", "http://127.0.0.1:" + std::to_string(server->port()) + "/"},
        {"code", code},
        {"waitFrames", 1},
        {"counter", {{"bits", kBits}, {"block", kBlock}, {"seconds", seconds}}}};
    ChildProcess node({"/usr/bin/node", script.string(), options.dump()});
    node.closeStdin();
    node.waitExit(std::chrono::seconds(60 + 2 * seconds));
    painting = false;
    paint.join();
    server->stop();
    server->drain();
    blocking.join();

    std::optional<double> first;
    std::vector<double> latency;
    std::istringstream lines(node.output());
    for (std::string line; std::getline(lines, line);) {
        auto v = json::parse(line);
        if (!v || !v->is_object()) continue;
        if (v->value("event", "") == "frames") first = (*v)["submitToFirstFrameMs"].get<double>();
        if (v->value("event", "") != "counter") continue;
        std::lock_guard g(mutex);
        for (const auto& s : (*v)["seen"]) {
            auto it = paintedAt.find(s[0].get<unsigned>());
            if (it != paintedAt.end()) latency.push_back(s[1].get<double>() - it->second);
        }
    }
    if (!first || latency.empty()) {
        std::fprintf(stderr, "bench_browser: the page saw no counter\n%s", node.output().c_str());
        return 1;
    }
    std::printf("browser: code submitted to first decoded frame %.1f ms (goal <= 1000)\n", *first);
    const double p95 = percentile(latency, 0.95);
    std::printf("browser: samples=%zu p50=%.1f ms p95=%.1f ms\n", latency.size(),
                percentile(latency, 0.5), p95);
    if (!native) {
        std::printf("native:  not measured (bench_glass is not built or failed)\n");
        return *first <= 1000 ? 0 : 1;
    }
    std::printf("native:  p50=%.1f ms p95=%.1f ms (bench_glass, same machine, this run)\n",
                native->first, native->second);
    const double ratio = p95 / native->second;
    std::printf("p95 ratio browser/native = %.2f (goal <= 1.50): %s\n", ratio,
                ratio <= 1.5 && *first <= 1000 ? "met" : "NOT met");
    return ratio <= 1.5 && *first <= 1000 ? 0 : 1;
}
