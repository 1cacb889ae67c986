// Browser viewer latency, in one run: Debian's chromium (headless, through playwright-core)
// against a browser server in this process fed real H.264 of a still picture, encoded live.
// Prints the time from the code submitted to the first decoded frame, and per frame the time
// from the frame's timestamp (taken just before encoding) to its VideoFrame output in the page.
//
//   bench_browser [FRAMES]      (default 300)
//
// The native figure to set beside these comes from the glass-to-glass benchmark of the session
// path, run on the same machine; the goals are first frame <= 1 s and browser p95 <= 1.5 x native
// p95.

#include <unistd.h>

#include <algorithm>
#include <asio/thread_pool.hpp>
#include <filesystem>
#include <iostream>
#include <sstream>

#include "OrvaneKit/net/testing/ChildProcess.h"
#include "OrvaneKit/protocol/Json.h"
#include "OrvaneKit/security/AccessCode.h"
#include "Orvane_Host/browser/BrowserServer.h"
#include "Orvane_Host/input/testing/FakeInjector.h"
#include "Orvane_Host/system/testing/FakeScreens.h"
#include "tests/support/HostHome.h"
#include "tests/support/PatternVideo.h"

using namespace orvane;
namespace fs = std::filesystem;

namespace {

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(p * (v.size() - 1) + 0.5))];
}

}  // namespace

int main(int argc, char** argv) {
    const int frames = argc > 1 ? std::max(10, std::atoi(argv[1])) : 300;
    const fs::path script = ORVANE_SOURCE_DIR "/tests/browser/viewer.mjs";
    const fs::path page = ORVANE_BINARY_DIR "/resources/browser-viewer.html";
    if (::access("/usr/bin/chromium", X_OK) != 0 ||
        !fs::exists(ORVANE_SOURCE_DIR "/tests/browser/node_modules/playwright-core") ||
        !fs::exists(page)) {
        std::cerr << "bench_browser: needs /usr/bin/chromium, npm ci in tests/browser and the "
                     "built viewer page\n";
        return 2;
    }
    NetContext net(2);
    asio::thread_pool blocking(1);
    FakeScreens screens;
    CallLog calls;
    FakeInjector injector(calls);
    PatternVideo video;
    auto server =
        BrowserServer::make({net,
                             screens,
                             injector,
                             video,
                             blocking.get_executor(),
                             {},  // plain HTTP on loopback: a secure context already
                             [&]() -> std::optional<Bytes> { return toBytes(readFile(page)); },
                             0});
    const std::string code = AccessCode::generate();
    server->start(code);
    server->drain();

    nlohmann::json options = {{"url", "http://127.0.0.1:" + std::to_string(server->port()) + "/"},
                              {"code", code},
                              {"waitFrames", frames}};
    ChildProcess node({"/usr/bin/node", script.string(), options.dump()});
    node.closeStdin();
    node.waitExit(std::chrono::seconds(60 + frames / 10));
    server->stop();
    server->drain();
    blocking.join();

    std::optional<json::Value> result;
    std::istringstream lines(node.output());
    for (std::string line; std::getline(lines, line);)
        if (auto v = json::parse(line); v && v->value("event", "") == "frames") result = *v;
    if (!result) {
        std::cerr << "bench_browser: no frames decoded\n" << node.output();
        return 1;
    }
    std::vector<double> latencyMs;
    for (const auto& l : (*result)["latencies"])
        latencyMs.push_back(l["at"].get<double>() - l["ts"].get<double>() / 1000.0);
    // The decoder's start-up shows in the first second; the steady figure leaves it out.
    std::vector<double> steady(latencyMs.begin() + std::min<std::size_t>(30, latencyMs.size()),
                               latencyMs.end());
    const double first = (*result)["submitToFirstFrameMs"].get<double>();
    std::cout << "browser: code submitted to first decoded frame " << first
              << " ms (goal <= 1000)\n"
              << "browser: frame timestamp to VideoFrame output over " << latencyMs.size()
              << " frames: p50 " << percentile(latencyMs, 0.5) << " ms, p95 "
              << percentile(latencyMs, 0.95) << " ms, max " << percentile(latencyMs, 1.0) << " ms\n"
              << "browser: after the first second: p50 " << percentile(steady, 0.5) << " ms, p95 "
              << percentile(steady, 0.95) << " ms\n";
    return first <= 1000 ? 0 : 1;
}
