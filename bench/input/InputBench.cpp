// Pointer injection against xdotool, on one private Xvfb:
//
//   bench_input [EVENTS] [RUNS]        (10000 events, 3 runs)
//
// Ours: EVENTS absolute moves through the injector (its strand, the XTest poster), timed from
// the first call until an X client has seen the last move. Peer: one xdotool process chaining
// the same moves, timed from start to exit. Prints the medians per event and their ratio; then
// the latency from a call to the client seeing its move, for moves paced at 1 ms as a fast
// mouse sends them (a burst would measure only the queue behind it).

#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "OrvaneKit/base/NetContext.h"
#include "Orvane_Host/capture/testing/XvfbServer.h"
#include "Orvane_Host/input/SerialInputInjector.h"
#include "Orvane_Host/input/testing/X11InputObserver.h"
#include "Orvane_Host/input/x11/XTestEventPoster.h"
#include "bench/support/PeerRun.h"

extern char** environ;

using namespace orvane;
using bench::median;
using Steady = std::chrono::steady_clock;

namespace {

constexpr int width = 1920, height = 1080;

// Every move lands on a pixel of its own, so each one makes a motion event.
std::pair<int, int> pixelOf(int i) {
    return {100 + i % 1600, 100 + (i / 1600) * 7 % 900};
}

// Seconds for the whole batch; fills `latencies` (microseconds) for the moves the client saw.
double runOurs(const std::string& display, int events, std::vector<double>& latencies,
               std::chrono::microseconds pace = {}) {
    NetContext net(2);
    X11InputObserver observer(display);
    SerialInputInjector injector(net.makeStrand("orvane.input"),
                                 std::make_shared<XTestEventPoster>(display),
                                 SystemClock::shared());
    // Start from a pixel no move uses.
    injector.inject(InputEvent::MouseMove{0, 0});
    observer.waitFor([](const auto& seen) { return !seen.empty(); });
    observer.clear();

    std::vector<Steady::time_point> sent(events);
    const auto begin = Steady::now();
    for (int i = 0; i < events; ++i) {
        auto [x, y] = pixelOf(i);
        if (pace.count()) std::this_thread::sleep_until(begin + pace * i);
        sent[i] = Steady::now();
        injector.inject(InputEvent::MouseMove{(x + 0.5) / width, (y + 0.5) / height});
    }
    const auto last = pixelOf(events - 1);
    observer.waitFor(
        [&](const std::vector<X11InputObserver::Seen>& seen) {
            return !seen.empty() && seen.back().x == last.first && seen.back().y == last.second;
        },
        std::chrono::seconds(60));
    const double seconds = std::chrono::duration<double>(Steady::now() - begin).count();

    std::map<std::pair<int, int>, int> index;
    for (int i = 0; i < events; ++i) index[pixelOf(i)] = i;
    for (const auto& s : observer.events()) {
        auto it = index.find({s.x, s.y});
        if (it == index.end()) continue;
        latencies.push_back(
            std::chrono::duration<double, std::micro>(s.at - sent[it->second]).count());
    }
    net.stop();
    return seconds;
}

double runXdotool(const std::string& display, int events) {
    std::vector<std::string> args{"xdotool"};
    for (int i = 0; i < events; ++i) {
        auto [x, y] = pixelOf(i);
        args.insert(args.end(), {"mousemove", std::to_string(x), std::to_string(y)});
    }
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> envText{"DISPLAY=" + display};
    std::vector<char*> env{envText[0].data(), nullptr};
    const auto begin = Steady::now();
    pid_t pid = 0;
    if (posix_spawn(&pid, "/usr/bin/xdotool", nullptr, nullptr, argv.data(), env.data()) != 0)
        return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
    return std::chrono::duration<double>(Steady::now() - begin).count();
}

}  // namespace

int main(int argc, char** argv) {
    const int events = argc > 1 ? std::stoi(argv[1]) : 10000;
    const int runs = argc > 2 ? std::stoi(argv[2]) : 3;
    XvfbServer server;
    if (!server.start(width, height)) {
        std::fprintf(stderr, "bench_input: %s\n", server.error().c_str());
        return 1;
    }
    std::vector<double> ours, peer, burst, latencies;
    for (int r = 0; r < runs; ++r) {
        ours.push_back(runOurs(server.display(), events, burst) / events * 1e6);
        const double p = runXdotool(server.display(), events);
        if (p < 0) {
            std::fprintf(stderr, "bench_input: xdotool did not run (is it installed?)\n");
            return 1;
        }
        peer.push_back(p / events * 1e6);
    }
    const double o = median(ours), x = median(peer);
    std::printf(
        "%d moves, %d runs: ours %.2f us/event, xdotool %.2f us/event, ratio %.3f "
        "(goal <= 0.2)\n",
        events, runs, o, x, o / x);
    const int paced = std::min(events, 2000);
    runOurs(server.display(), paced, latencies, std::chrono::microseconds(1000));
    std::sort(latencies.begin(), latencies.end());
    auto pct = [&](double p) {
        return latencies.empty()
                   ? 0
                   : latencies[std::min(latencies.size() - 1, std::size_t(p * latencies.size()))];
    };
    std::printf(
        "latency call -> client, moves 1 ms apart, %zu seen of %d: p50 %.0f us, "
        "p90 %.0f us, p99 %.0f us, max %.0f us\n",
        latencies.size(), paced, pct(0.5), pct(0.9), pct(0.99),
        latencies.empty() ? 0 : latencies.back());
    return 0;
}
