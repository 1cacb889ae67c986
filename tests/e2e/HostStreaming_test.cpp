// The screen and the sound end to end: the real host captures a private Xvfb and a private
// sound server, encodes and seals them, and orvane-peer writes what it receives to files that
// decode into the painted picture and the played tone. A frozen viewer slows only its own
// display's stream.
#include <gtest/gtest.h>
#include <signal.h>

#include <array>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "OrvaneKit/security/AccessCode.h"
#include "OrvaneKit/security/Keychain.h"
#include "Orvane_Host/capture/testing/PulseTestServer.h"
#include "Orvane_Host/capture/testing/X11TestPainter.h"
#include "Orvane_Host/capture/testing/XvfbServer.h"
#include "Orvane_Host/capture/x11/X11ScreenSource.h"
#include "tests/support/HostHome.h"
#include "tests/support/ViewerPeer.h"

namespace orvane {
namespace {

using namespace std::chrono_literals;

// The RGB of pixel (x, y) of the last frame FFmpeg decodes from an Annex B file; none when it
// cannot decode one.
std::optional<std::array<int, 3>> decodedPixel(const std::filesystem::path& file, int width, int x,
                                               int y) {
    std::string cmd = "ffmpeg -v error -i '" + file.string() +
                      "' -update 1 -f rawvideo -pix_fmt rgb24 - 2>/dev/null";
    FILE* pipe = ::popen(cmd.c_str(), "r");
    if (!pipe) return std::nullopt;
    std::string frame;
    char buffer[1 << 16];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        frame.append(buffer, n);
    ::pclose(pipe);
    const std::size_t at = (static_cast<std::size_t>(y) * width + x) * 3;
    if (frame.size() < at + 3) return std::nullopt;
    return std::array<int, 3>{static_cast<unsigned char>(frame[at]),
                              static_cast<unsigned char>(frame[at + 1]),
                              static_cast<unsigned char>(frame[at + 2])};
}

// The per-second video summary lines orvane-peer printed in out[from, to).
std::vector<json::Value> videoLines(const std::string& out, std::size_t from = 0,
                                    std::size_t to = std::string::npos) {
    std::vector<json::Value> found;
    std::istringstream lines(out.substr(from, to == std::string::npos ? to : to - from));
    for (std::string l; std::getline(lines, l);)
        if (auto j = json::parse(std::string_view(l));
            j && j->value("event", "") == "media" && j->value("type", "") == "video")
            found.push_back(std::move(*j));
    return found;
}

// A host on `display` (and `pulse` when given) that admits anyone with the code it returns.
struct AdmittingHost {
    HostHome home;
    std::string code = AccessCode::generate();
    HostHome::Running host;

    explicit AdmittingHost(const std::string& display, const std::string& pulse = "") {
        EXPECT_TRUE(Keychain::set(code, "host.accessCode", "com.nimbrel.kelsap", false, {},
                                  home.keychain()));
        home.settings().setBool("askBeforeConnecting", false);
        HostHome::Options options;
        options.display = display;
        options.pulseServer = pulse;
        host = home.start(options);
    }
};

TEST(X11HostStreaming, ViewerReceivesTheDisplayAsVideoThatDecodesToWhatIsPainted) {
    for (const auto& b : {HostHome::hostBinary, HostHome::peerBinary})
        if (!std::filesystem::exists(b)) GTEST_SKIP() << "not built: " << b;
    if (std::system("ffmpeg -version >/dev/null 2>&1") != 0) GTEST_SKIP() << "no ffmpeg";
    XvfbServer server;
    if (!server.start(640, 480)) GTEST_SKIP() << "no X server: " << server.error();
    X11TestPainter painter(server.display(), 0, 0, 640, 480);
    painter.fill(0, 0, 320, 480, 0xD02020);
    painter.fill(320, 0, 320, 480, 0x2040D0);
    painter.movePointer(639, 479);
    painter.flush();

    AdmittingHost h(server.display());
    ASSERT_NE(h.host.port, 0) << h.host.process->output();

    ViewerPeer viewer(h.home.dir(), "Watching Laptop");
    const auto video = h.home.dir() / "received.h264";
    auto peer = viewer.connect(h.host.port, h.code,
                               "forbid bye\nexpect helloAck 20\nexpect permissions\n"
                               "expect video 20\nwait 1500\nbye done\n",
                               {"--video-out", video.string(), "--media", "summary"});
    ASSERT_EQ(peer->waitExit(60s), 0) << peer->output() << h.host.process->output();

    // The picture stood still all along: the frames of the start, then nothing.
    int frames = 0;
    for (const json::Value& line : videoLines(peer->output())) frames += line["count"].get<int>();
    EXPECT_GE(frames, 1);
    EXPECT_LE(frames, 5) << "a still screen kept sending\n" << peer->output();

    auto left = decodedPixel(video, 640, 100, 240);
    auto right = decodedPixel(video, 640, 540, 240);
    ASSERT_TRUE(left && right) << "nothing decodable in " << video;
    // Video-range 4:2:0 moves colours a little; the two halves must still be what was painted.
    EXPECT_NEAR((*left)[0], 0xD0, 24);
    EXPECT_NEAR((*left)[2], 0x20, 24);
    EXPECT_NEAR((*right)[0], 0x20, 24);
    EXPECT_NEAR((*right)[2], 0xD0, 24);
}

TEST(X11HostStreaming, RecordedMovieHoldsEveryFrameFromTheFirstKeyframe) {
    for (const auto& b : {HostHome::hostBinary, HostHome::peerBinary})
        if (!std::filesystem::exists(b)) GTEST_SKIP() << "not built: " << b;
    if (std::system("ffprobe -version >/dev/null 2>&1") != 0) GTEST_SKIP() << "no ffprobe";
    XvfbServer server;
    if (!server.start(640, 480)) GTEST_SKIP() << "no X server: " << server.error();
    X11TestPainter painter(server.display(), 0, 0, 640, 480);
    painter.fill(0, 0, 640, 480, 0x2040D0);
    painter.movePointer(639, 479);
    painter.flush();

    AdmittingHost h(server.display());
    ASSERT_NE(h.host.port, 0) << h.host.process->output();

    ViewerPeer viewer(h.home.dir(), "Recording Laptop");
    const auto movie = h.home.dir() / "movies" / "session.mov";
    auto peer = viewer.connect(h.host.port, h.code,
                               "forbid bye\nexpect helloAck 20\nexpect video 20\nwait 2500\n"
                               "bye done\n",
                               {"--record", movie.string(), "--media", "summary"});
    // A changing picture.
    for (int i = 0; i < 20; ++i) {
        std::this_thread::sleep_for(100ms);
        painter.fill(0, 0, 640, 480, i == 19 ? 0x20D040 : (i % 2 ? 0xD02020 : 0x2040D0));
        painter.flush();
    }
    ASSERT_EQ(peer->waitExit(60s), 0) << peer->output() << h.host.process->output();
    EXPECT_NE(peer->output().find("\"event\":\"recorded\""), std::string::npos) << peer->output();

    int sent = 0;
    for (const json::Value& line : videoLines(peer->output())) sent += line["count"].get<int>();
    FILE* pipe = ::popen(("ffprobe -v error -count_frames -select_streams v:0 -show_entries "
                          "stream=codec_name,width,height,nb_read_frames -of csv=p=0 '" +
                          movie.string() + "' 2>&1")
                             .c_str(),
                         "r");
    ASSERT_TRUE(pipe);
    char line[256] = {};
    std::string probed = std::fgets(line, sizeof line, pipe) ? line : "";
    ::pclose(pipe);
    EXPECT_EQ(probed, "h264,640,480," + std::to_string(sent) + "\n")
        << peer->output() << h.host.process->output();
    EXPECT_GE(sent, 5) << "the changing picture should have sent frames";
    EXPECT_TRUE(decodedPixel(movie, 640, 320, 240)) << "nothing decodable in " << movie;
}

std::vector<float> readFloats(const std::filesystem::path& file) {
    const std::string bytes = readFile(file);
    std::vector<float> out(bytes.size() / sizeof(float));
    std::memcpy(out.data(), bytes.data(), out.size() * sizeof(float));
    return out;
}

// The strength of `hz` in `count` samples from `from` of one channel of interleaved stereo.
double toneLevel(const std::vector<float>& stereo, std::size_t from, std::size_t count, double hz) {
    double re = 0, im = 0;
    for (std::size_t n = 0; n < count; ++n) {
        re += stereo[2 * (from + n)] * std::cos(2 * M_PI * hz * static_cast<double>(n) / 48000);
        im += stereo[2 * (from + n)] * std::sin(2 * M_PI * hz * static_cast<double>(n) / 48000);
    }
    return std::hypot(re, im);
}

TEST(X11HostStreaming, ViewerHearsTheHostsSoundDecodedToThePlayedTone) {
    for (const auto& b : {HostHome::hostBinary, HostHome::peerBinary})
        if (!std::filesystem::exists(b)) GTEST_SKIP() << "not built: " << b;
    if (std::system("command -v sox >/dev/null && command -v paplay >/dev/null") != 0)
        GTEST_SKIP() << "sox or paplay is not installed";
    testing::PulseTestServer pulse;
    if (!pulse.ok()) GTEST_SKIP() << "no private PulseAudio server: " << pulse.reason();
    XvfbServer server;
    if (!server.start(320, 240)) GTEST_SKIP() << "no X server: " << server.error();

    // A 1 kHz tone into the server's default output, whose monitor the host captures.
    const std::string tone = pulse.dir() + "/tone.wav";
    auto [made, soxOut] = ChildProcess::run(
        {"sox", "-n", "-r", "48000", "-c", "2", tone, "synth", "30", "sine", "1000", "vol", "0.4"},
        "", 20s);
    ASSERT_EQ(made, 0) << soxOut;
    ChildProcess player({"paplay", "--server=" + pulse.address(), tone});

    AdmittingHost h(server.display(), pulse.address());
    ASSERT_NE(h.host.port, 0) << h.host.process->output();
    ViewerPeer viewer(h.home.dir(), "Listening Laptop");
    const auto sound = h.home.dir() / "received.f32";
    auto peer = viewer.connect(h.host.port, h.code,
                               "forbid bye\nexpect helloAck 20\nexpect audio 20\nwait 2000\n"
                               "bye done\n",
                               {"--audio-out", sound.string(), "--media", "summary"});
    ASSERT_EQ(peer->waitExit(60s), 0) << peer->output() << h.host.process->output();

    const std::string out = peer->output();
    EXPECT_EQ(out.find(R"("event":"error")"), std::string::npos) << out;
    for (const char* type : {"helloAck", "permissions", "hostStatus", "audioFormat"})
        EXPECT_EQ(ViewerPeer::messages(out, type).size(), 1u) << type << "\n" << out;
    auto formats = ViewerPeer::messages(out, "audioFormat");
    ASSERT_FALSE(formats.empty());
    EXPECT_EQ(formats[0]["body"]["sampleRate"].get<double>(), 48000);
    EXPECT_EQ(formats[0]["body"]["channels"].get<int>(), 2);

    // The loudest quarter second holds the tone: its strongest 50 Hz step is 1 kHz.
    const std::vector<float> pcm = readFloats(sound);
    const std::size_t window = 12000;
    ASSERT_GT(pcm.size() / 2, 4 * window) << "less than a second of sound";
    std::size_t best = 0;
    double bestEnergy = -1;
    for (std::size_t at = 0; at + window <= pcm.size() / 2; at += 2400) {
        double e = 0;
        for (std::size_t n = at; n < at + window; ++n) e += pcm[2 * n] * pcm[2 * n];
        if (e > bestEnergy) bestEnergy = e, best = at;
    }
    EXPECT_GT(std::sqrt(bestEnergy / window), 0.05) << "the sound is silence";
    double peakHz = 0, peak = -1;
    for (double hz = 50; hz <= 5000; hz += 50)
        if (double level = toneLevel(pcm, best, window, hz); level > peak)
            peak = level, peakHz = hz;
    EXPECT_EQ(peakHz, 1000);
}

// The most bytes waiting to go out on one of the connections accepted on a loopback port.
std::size_t largestSendQueue(std::uint16_t port) {
    std::size_t largest = 0;
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::istringstream lines(readFile(table));
        std::string line;
        std::getline(lines, line);  // the heading
        while (std::getline(lines, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state, queues;
            fields >> slot >> local >> remote >> state >> queues;
            const auto colon = local.rfind(':');
            if (colon == std::string::npos || state != "01" ||
                std::stoul(local.substr(colon + 1), nullptr, 16) != port)
                continue;
            largest = std::max<std::size_t>(
                largest, std::stoul(queues.substr(0, queues.find(':')), nullptr, 16));
        }
    }
    return largest;
}

TEST(X11HostStreaming, FrozenViewerSkipsAndLowersItsOwnBitrateWhileTheOtherDisplayKeepsItsRate) {
    for (const auto& b : {HostHome::hostBinary, HostHome::peerBinary})
        if (!std::filesystem::exists(b)) GTEST_SKIP() << "not built: " << b;
    XvfbServer server;
    if (!server.start(1280, 480)) GTEST_SKIP() << "no X server: " << server.error();
    X11TestPainter painter(server.display(), 0, 0, 1280, 480);
    painter.movePointer(1279, 479);
    painter.addMonitor("LEFT", 0, 0, 640, 480, true);
    painter.addMonitor("RIGHT", 640, 0, 640, 480, false);
    painter.flush();
    std::uint32_t right = 0;
    for (const CaptureDisplay& d : X11ScreenSource(server.display()).displays())
        if (d.name == "RIGHT") right = d.id;
    ASSERT_NE(right, 0u);

    // Both monitors change all the time; the right one with content that fills its bitrate.
    std::atomic<bool> painting{true};
    std::thread animation([&] {
        X11TestPainter p(server.display(), 0, 0, 1280, 480);
        for (int step = 0; painting; ++step) {
            p.fill(0, 0, 640, 480, step % 2 ? 0x203040 : 0x304050);
            p.fill(32 + (step * 7) % 500, 200, 64, 64, 0xffffff);
            p.noise(640, 0, 640, 480, static_cast<uint32_t>(step));
            p.flush();
            std::this_thread::sleep_for(30ms);
        }
    });
    struct StopPainting {
        std::atomic<bool>& painting;
        std::thread& animation;
        ~StopPainting() {
            painting = false;
            animation.join();
        }
    } stopPainting{painting, animation};

    AdmittingHost h(server.display());
    ASSERT_NE(h.host.port, 0) << h.host.process->output();
    ViewerPeer steady(h.home.dir(), "Steady Laptop"), frozen(h.home.dir(), "Frozen Laptop");
    auto a = steady.connect(h.host.port, h.code,
                            "forbid bye\nexpect helloAck 20\nexpect video 20\nwait 60000\n",
                            {"--media", "summary"});
    auto b = frozen.connect(h.host.port, h.code,
                            "forbid bye\nexpect helloAck 20\nsend selectDisplay {\"displayID\":" +
                                std::to_string(right) + "}\nexpect video 20\nwait 60000\n",
                            {"--media", "summary"});
    ASSERT_TRUE(a->waitForOutput(R"("step":"wait 60000")", 30s)) << a->output();
    ASSERT_TRUE(b->waitForOutput(R"("step":"wait 60000")", 30s)) << b->output();
    std::this_thread::sleep_for(1s);

    const std::size_t beforeStop = a->output().size();
    ASSERT_EQ(::kill(b->pid(), SIGSTOP), 0);
    // Frozen until the host's socket to it holds all it takes (its size is the system's), then
    // a while longer, so that frames are skipped for a good part of a statistics window. The
    // queue stands still once the host cannot write more; a full second of no change rules out
    // a pause in the painting. (The host drops viewers silent for 20 s; these say nothing.)
    const auto fillLimit = std::chrono::steady_clock::now() + 12s;
    for (std::size_t last = 0, now = 0, still = 0;
         still < 4 && std::chrono::steady_clock::now() < fillLimit; last = now) {
        std::this_thread::sleep_for(250ms);
        now = largestSendQueue(h.host.port);
        still = now >= 64 * 1024 && now == last ? still + 1 : 0;
    }
    std::this_thread::sleep_for(1s);
    const std::size_t atContinue = a->output().size();
    ::kill(b->pid(), SIGCONT);

    // The frozen viewer's display skipped: once it reads again, its stream steps down.
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    std::string log;
    while (std::chrono::steady_clock::now() < deadline &&
           (log = readFile(h.home.logFile())).find("adaptive bitrate") == std::string::npos)
        std::this_thread::sleep_for(100ms);
    std::smatch m;
    ASSERT_TRUE(
        std::regex_search(log, m, std::regex(R"(adaptive bitrate → (\d+) kbit/s \(skip (\d+)%\))")))
        << log;
    EXPECT_EQ(m[1].str(), "8400");
    EXPECT_GT(std::stoi(m[2].str()), 10);

    // The other display's viewer went on at its own rate all the while.
    const std::vector<json::Value> during = videoLines(a->output(), beforeStop, atContinue);
    ASSERT_GE(during.size(), 3u) << a->output();
    for (std::size_t i = 1; i + 1 < during.size(); ++i)
        EXPECT_GE(during[i]["count"].get<int>(), 10) << "second " << i << " of the freeze\n"
                                                     << a->output();
    EXPECT_EQ(a->output().find(R"("event":"error")"), std::string::npos) << a->output();

    // Unplugging the right monitor ends its stream: both viewers get the new list, and its
    // viewer moves to the main display, whose frames are small next to the noise.
    const std::size_t beforeUnplug = b->output().size();
    painter.removeMonitor("RIGHT");
    for (auto* peer : {a.get(), b.get()}) {
        ASSERT_TRUE(ViewerPeer::waitForMessages(*peer, "displays", 1, 10s)) << peer->output();
        const json::Value list = ViewerPeer::messages(peer->output(), "displays").back()["body"];
        for (const json::Value& d : list["displays"])
            EXPECT_NE(d["id"].get<std::uint32_t>(), right);
        EXPECT_NE(list["activeDisplayID"].get<std::uint32_t>(), right);
    }
    auto frameSize = [](const json::Value& line) {
        return line["bytes"].get<double>() / line["count"].get<double>();
    };
    const auto moved = std::chrono::steady_clock::now() + 10s;
    std::vector<json::Value> after;
    while (std::chrono::steady_clock::now() < moved &&
           ((after = videoLines(b->output(), beforeUnplug)).empty() ||
            frameSize(after.back()) >= 8000))
        std::this_thread::sleep_for(100ms);
    ASSERT_FALSE(after.empty()) << b->output();
    EXPECT_LT(frameSize(after.back()), 8000) << "still the noise of the unplugged monitor\n"
                                             << b->output();
}

}  // namespace
}  // namespace orvane
