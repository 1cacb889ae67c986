// Capture under the privacy curtain: five overlapping windows repainted at 60 fps beneath a
// full-screen curtain that the capture leaves out, captured to NV12 at 60 fps.
//
//   bench_curtain [SECONDS [ROUNDS]]     defaults 5 s, 3 alternating rounds per side
//
// Peer, on the same private Xvfb and scene in the same run: `ffmpeg -f x11grab -framerate 60
// -pix_fmt nv12 -f null -` (a root grab: it sees the curtain, which is the point of ours). Both
// sides are charged their own CPU and the X server's over their run, since our compositing is
// work the server does for us. The scene driver is a child process, counted on neither side.

#include <X11/Xlib.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "OrvaneKit/net/testing/ChildProcess.h"
#include "Orvane_Host/capture/testing/XvfbServer.h"
#include "Orvane_Host/capture/x11/X11ScreenSource.h"
#include "bench/support/PeerRun.h"

using namespace orvane;
using bench::median;

namespace {

double selfCpu() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double processCpu(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(in, line);
    std::istringstream fields(line.substr(line.rfind(')') + 2));
    std::string f;
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> f; ++i)
        if (i == 14 || i == 15) ticks += std::stod(f);
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

struct Scene {
    std::vector<Window> apps;
    Window curtain = 0;
};

Scene makeScene(Display* d) {
    Scene s;
    auto make = [&](int x, int y, int w, int h, unsigned long rgb) {
        XSetWindowAttributes a{};
        a.background_pixel = rgb;
        a.override_redirect = True;
        const Window win = XCreateWindow(d, DefaultRootWindow(d), x, y, static_cast<unsigned>(w),
                                         static_cast<unsigned>(h), 0, CopyFromParent, InputOutput,
                                         CopyFromParent, CWBackPixel | CWOverrideRedirect, &a);
        XMapRaised(d, win);
        return win;
    };
    for (int i = 0; i < 5; ++i)
        s.apps.push_back(make(100 + 220 * i, 80 + 140 * i, 900, 650, 0x204060u * (i + 1)));
    s.curtain = make(0, 0, 1920, 1080, 0);
    XSync(d, False);
    return s;
}

// Repaints every window under the curtain 60 times a second until killed.
[[noreturn]] void drive(const std::string& display, const Scene& scene) {
    Display* d = XOpenDisplay(display.c_str());
    if (!d) _exit(1);
    const GC gc = XCreateGC(d, scene.apps[0], 0, nullptr);
    auto next = std::chrono::steady_clock::now();
    for (unsigned step = 0;; ++step) {
        for (size_t i = 0; i < scene.apps.size(); ++i) {
            XSetForeground(d, gc, (step * 0x030507u + i * 0x402010u) & 0xffffff);
            XFillRectangle(d, scene.apps[i], gc, 0, 0, 900, 650);
            XSetForeground(d, gc, 0xffffff);
            XFillRectangle(d, scene.apps[i], gc, static_cast<int>((step * 7) % 800), 100, 100, 100);
        }
        XSync(d, False);
        next += std::chrono::nanoseconds(1'000'000'000 / 60);
        std::this_thread::sleep_until(next);
    }
}

struct Result {
    double frames = 0, clientCpu = 0, serverCpu = 0, wall = 0;
};

Result runOurs(const XvfbServer& server, const Scene& scene, double seconds) {
    X11ScreenSource source(server.display());
    StreamConfig config;
    config.width = 1920;
    config.height = 1080;
    config.fps = 60;
    config.format = PixelFormat::nv12;
    config.excludedWindows = {static_cast<uint32_t>(scene.curtain)};
    std::atomic<int> frames{0};
    StreamSink sink;
    sink.onFrame = [&](CapturedFrame) { frames.fetch_add(1); };
    const double cpu0 = selfCpu(), server0 = processCpu(server.pid());
    const auto wall0 = std::chrono::steady_clock::now();
    auto stream = source.startStream(source.displays().front(), config, std::move(sink));
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    stream->stop();
    Result r;
    r.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    r.frames = frames.load();
    r.clientCpu = selfCpu() - cpu0;
    r.serverCpu = processCpu(server.pid()) - server0;
    return r;
}

Result runPeer(const XvfbServer& server, double seconds) {
    const double server0 = processCpu(server.pid());
    const bench::FfmpegRun run = bench::runFfmpeg(
        {"-f", "x11grab", "-framerate", "60", "-video_size", "1920x1080", "-i", server.display(),
         "-t", std::to_string(seconds), "-pix_fmt", "nv12", "-f", "null", "-"},
        std::chrono::milliseconds(static_cast<int>(seconds * 1000) + 30000));
    Result r;
    r.serverCpu = processCpu(server.pid()) - server0;
    r.frames = run.frames;
    r.clientCpu = run.cpu;
    r.wall = run.wall;
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 5;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    XvfbServer server;
    if (!server.start(1920, 1080)) {
        std::fprintf(stderr, "%s\n", server.error().c_str());
        return 1;
    }
    Display* d = XOpenDisplay(server.display().c_str());
    if (!d) return 1;
    const Scene scene = makeScene(d);
    const pid_t driver = fork();
    if (driver == 0) drive(server.display(), scene);
    std::this_thread::sleep_for(std::chrono::seconds(1));

    std::printf("nproc %u, load %s", std::thread::hardware_concurrency(), [] {
        static char buf[64] = {};
        if (FILE* f = std::fopen("/proc/loadavg", "r")) {
            std::fgets(buf, sizeof buf, f);
            std::fclose(f);
        }
        return buf;
    }());
    std::vector<double> oursTotal, peerTotal, oursClient, peerClient, oursFps, peerFps;
    for (int i = 0; i < rounds; ++i) {
        const Result o = runOurs(server, scene, seconds);
        const Result p = runPeer(server, seconds);
        auto perFrame = [](const Result& r, double cpu) {
            return r.frames ? 1000 * cpu / r.frames : 0;
        };
        std::printf(
            "round %d: ours %4.0f frames, %.2f ms client + %.2f ms server CPU/frame | "
            "x11grab %4.0f frames, %.2f ms client + %.2f ms server CPU/frame\n",
            i + 1, o.frames, perFrame(o, o.clientCpu), perFrame(o, o.serverCpu), p.frames,
            perFrame(p, p.clientCpu), perFrame(p, p.serverCpu));
        oursTotal.push_back(perFrame(o, o.clientCpu + o.serverCpu));
        peerTotal.push_back(perFrame(p, p.clientCpu + p.serverCpu));
        oursClient.push_back(perFrame(o, o.clientCpu));
        peerClient.push_back(perFrame(p, p.clientCpu));
        oursFps.push_back(o.wall > 0 ? o.frames / o.wall : 0);
        peerFps.push_back(p.wall > 0 ? p.frames / p.wall : 0);
    }
    kill(driver, SIGTERM);
    waitpid(driver, nullptr, 0);
    XCloseDisplay(d);
    std::printf(
        "curtain capture 1920x1080 nv12 @60: ours %.1f fps %.2f ms CPU/frame (client %.2f) "
        "| x11grab %.1f fps %.2f ms CPU/frame (client %.2f)\n",
        median(oursFps), median(oursTotal), median(oursClient), median(peerFps), median(peerTotal),
        median(peerClient));
    std::printf(
        "ratio CPU/frame ours/x11grab, client+server: %.3f (goal <= 1.5); client only: "
        "%.3f\n",
        median(oursTotal) / median(peerTotal), median(oursClient) / median(peerClient));
    return 0;
}
