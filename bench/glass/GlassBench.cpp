// Glass-to-glass latency on loopback, ours against FFmpeg's on the same private Xvfb and the
// same content: a frame counter painted 30 times a second, read back from the decoded picture.
//
//   bench_glass [SECONDS] [WIDTH HEIGHT [--ours-samples]]      defaults: 10 s at 1280x720
//
// --ours-samples: our path alone, with every sample printed (for benchmarks that pool them).
//
// Ours: X11 capture -> video pipeline (x264, one viewer with its flow control) -> sealed
// message connection over TCP -> open -> H.264 decode. Theirs: ffmpeg x11grab -> libx264
// ultrafast/zerolatency -> MPEG-TS over UDP -> a second ffmpeg decoding to raw grey frames on a
// pipe. Each side's latency is the time from the counter being on the screen to the first
// decoded frame that shows it. Prints p50 and p95 of both and the p95 ratio (goal: <= 0.8).

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "OrvaneKit/base/Logger.h"
#include "OrvaneKit/base/NetContext.h"
#include "OrvaneKit/media/VideoPacket.h"
#include "OrvaneKit/media/testing/SyntheticFrames.h"
#include "OrvaneKit/media/x26x/LibraryEncoderBackend.h"
#include "OrvaneKit/net/TlsPskListener.h"
#include "OrvaneKit/protocol/OrvaneConnection.h"
#include "OrvaneKit/security/AccessCode.h"
#include "OrvaneKit/security/SecureIdentity.h"
#include "OrvaneKit/security/testing/MemorySecretStore.h"
#include "Orvane_Host/capture/VideoPipeline.h"
#include "Orvane_Host/capture/testing/X11TestPainter.h"
#include "Orvane_Host/capture/testing/XvfbServer.h"
#include "Orvane_Host/capture/x11/X11ScreenSource.h"

using namespace orvane;
using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;

namespace {

constexpr int kBits = 12;   // counter bits, each shown with its complement
constexpr int kBlock = 32;  // block size in pixels
constexpr int kPaintHz = 30;
constexpr const char* kCode = "ABC-DEF-GHJ-KLM";

// Blocks in one row: bit i at column i, its complement at column kBits + i.
void paintCounter(X11TestPainter& painter, unsigned value) {
    for (int i = 0; i < kBits; ++i) {
        const bool on = (value >> i) & 1;
        painter.fill(i * kBlock, 0, kBlock, kBlock, on ? 0xffffff : 0x000000);
        painter.fill((kBits + i) * kBlock, 0, kBlock, kBlock, on ? 0x000000 : 0xffffff);
    }
}

// The counter in a grey picture (luma rows), or none when it is torn or unreadable.
std::optional<unsigned> readCounter(const uint8_t* luma, int stride) {
    unsigned value = 0;
    for (int i = 0; i < kBits; ++i) {
        const int y = kBlock / 2;
        const bool on = luma[y * stride + i * kBlock + kBlock / 2] > 128;
        const bool off = luma[y * stride + (kBits + i) * kBlock + kBlock / 2] > 128;
        if (on == off) return std::nullopt;
        if (on) value |= 1u << i;
    }
    return value;
}

// Paints a new counter value 30 times a second and remembers when each reached the screen.
class Painter {
public:
    Painter(const std::string& display, int width, int height)
        : painter_(display, 0, 0, width, height) {
        painter_.fill(0, 0, width, height, 0x306090);
        painter_.flush();
    }
    void run(std::chrono::seconds duration) {
        const auto end = Steady::now() + duration;
        auto next = Steady::now();
        while (Steady::now() < end) {
            const unsigned value = ++counter_ & ((1u << kBits) - 1);
            paintCounter(painter_, value);
            painter_.flush();  // waits until the server has drawn it
            {
                std::lock_guard g(mutex_);
                shown_[value] = Steady::now();
            }
            next += std::chrono::microseconds(1'000'000 / kPaintHz);
            std::this_thread::sleep_until(next);
        }
    }
    std::optional<Steady::time_point> shownAt(unsigned value) {
        std::lock_guard g(mutex_);
        auto it = shown_.find(value);
        if (it == shown_.end()) return std::nullopt;
        return it->second;
    }
    void reset() {
        std::lock_guard g(mutex_);
        shown_.clear();
    }

private:
    X11TestPainter painter_;
    unsigned counter_ = 0;
    std::mutex mutex_;
    std::map<unsigned, Steady::time_point> shown_;
};

// Latencies of counters seen for the first time.
class Samples {
public:
    explicit Samples(Painter& painter) : painter_(painter) {}
    void saw(unsigned value) {
        const auto now = Steady::now();
        std::lock_guard g(mutex_);
        if (!seen_.insert(value).second) return;
        if (auto at = painter_.shownAt(value))
            ms_.push_back(std::chrono::duration<double, std::milli>(now - *at).count());
    }
    std::vector<double> sorted() {
        std::lock_guard g(mutex_);
        auto v = ms_;
        std::sort(v.begin(), v.end());
        return v;
    }

private:
    Painter& painter_;
    std::mutex mutex_;
    std::set<unsigned> seen_;
    std::vector<double> ms_;
};

double percentile(const std::vector<double>& sorted, double p) {
    if (sorted.empty()) return 0;
    const size_t i = std::min(sorted.size() - 1, static_cast<size_t>(p * (sorted.size() - 1)));
    return sorted[i];
}

// An H.264 Annex-B decoder that reports the counter of every picture.
class Decoder {
public:
    Decoder() {
        const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
        ctx_ = avcodec_alloc_context3(codec);
        ctx_->flags |= AV_CODEC_FLAG_LOW_DELAY;
        ctx_->thread_count = 1;
        avcodec_open2(ctx_, codec, nullptr);
        frame_ = av_frame_alloc();
        packet_ = av_packet_alloc();
    }
    ~Decoder() {
        av_packet_free(&packet_);
        av_frame_free(&frame_);
        avcodec_free_context(&ctx_);
    }
    template <class F>
    void decode(const Bytes& annexB, F onCounter) {
        packet_->data = const_cast<uint8_t*>(annexB.data());
        packet_->size = static_cast<int>(annexB.size());
        if (avcodec_send_packet(ctx_, packet_) < 0) return;
        while (avcodec_receive_frame(ctx_, frame_) == 0) {
            if (auto v = readCounter(frame_->data[0], frame_->linesize[0])) onCounter(*v);
            av_frame_unref(frame_);
        }
    }

private:
    AVCodecContext* ctx_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVPacket* packet_ = nullptr;
};

// One viewer's connection with the session's flow control: at most 3 frames in flight.
class ConnectionTarget final : public VideoTarget {
public:
    explicit ConnectionTarget(std::shared_ptr<OrvaneConnection> conn) : conn_(std::move(conn)) {}
    std::uint32_t displayID() const override { return 0; }
    bool isBacklogged() const override { return inFlight_ > 2; }
    bool needsKeyframe() const override { return waiting_; }
    bool sendVideo(const VideoPacket& packet, const Bytes& bytes) override {
        if (waiting_ && !packet.isKeyframe) return false;
        if (inFlight_ >= 3) {
            waiting_ = true;
            return false;
        }
        waiting_ = false;
        ++inFlight_;
        conn_->send(MessageType::video, bytes, [this](std::optional<NetError>) { --inFlight_; });
        return true;
    }
    void sendAudio(const Bytes&) override {}

private:
    std::shared_ptr<OrvaneConnection> conn_;
    std::atomic<int> inFlight_{0};
    std::atomic<bool> waiting_{true};
};

std::vector<double> runOurs(const std::string& display, Painter& painter,
                            std::chrono::seconds duration) {
    NetContext net(2);
    MemorySecretStore hostKeys, viewerKeys;
    SecureIdentity hostId(hostKeys, "bench.host"), viewerId(viewerKeys, "bench.viewer");
    Samples samples(painter);

    TlsPskListener::Options lo;
    lo.port = 0;
    lo.bindAddress = "127.0.0.1";
    lo.params = AccessCode::pskParameters(kCode, true);
    auto listener = TlsPskListener::make(net, lo);
    std::mutex mutex;
    std::condition_variable cv;
    std::shared_ptr<OrvaneConnection> host;
    bool hostReady = false;
    listener->setNewConnectionHandler([&](std::shared_ptr<Transport> t) {
        auto conn = OrvaneConnection::makeServer(std::move(t), kCode, {&hostId, nullptr, &net});
        conn->setOnStateChange([&](const ConnState& s) {
            if (!holds_alternative<conn::Ready>(s)) return;
            std::lock_guard g(mutex);
            hostReady = true;
            cv.notify_all();
        });
        std::lock_guard g(mutex);
        host = conn;
        host->start();
    });
    listener->start();
    for (int i = 0; i < 200 && listener->port() == 0; ++i) std::this_thread::sleep_for(10ms);

    Decoder decoder;
    auto viewer =
        OrvaneConnection::makeClient(HostPort{"127.0.0.1", listener->port()}, kCode, std::nullopt,
                                     std::nullopt, {&viewerId, nullptr, &net});
    viewer->setOnMessage([&](MessageType type, Bytes body) {
        if (type != MessageType::video) return;
        auto packet = VideoPacket::parse(body);
        Bytes annexB;
        if (!packet || !appendAnnexB(*packet, annexB)) return;
        decoder.decode(annexB, [&](unsigned v) { samples.saw(v); });
    });
    viewer->start();
    {
        std::unique_lock lock(mutex);
        if (!cv.wait_for(lock, 20s, [&] { return hostReady; })) {
            std::fprintf(stderr, "ours: the connection did not come up\n");
            return {};
        }
    }

    VideoPipeline::Parts parts;
    auto screens = std::make_shared<X11ScreenSource>(display);
    parts.screens = screens;
    parts.encoders = std::make_shared<LibraryEncoderBackend>(EncoderTuning{"ultrafast", 4});
    parts.net = &net;
    parts.makeAudioEncoder = [] { return std::unique_ptr<AudioEncoder>(); };
    auto pipeline = VideoPipeline::make(parts, 8'000'000);
    pipeline->setTargetBitrate(8'000'000, 60);
    pipeline->setTargets({std::make_shared<ConnectionTarget>(host)});
    pipeline->start(screens->displays().front(), 3840, false);

    painter.reset();
    painter.run(duration);
    std::this_thread::sleep_for(300ms);
    pipeline->stop();
    viewer->cancel();
    host->cancel();
    listener->cancel();
    net.stop();
    return samples.sorted();
}

// A child process; its standard output on a pipe when asked.
struct Child {
    pid_t pid = -1;
    int out = -1;
    static Child spawn(const std::vector<std::string>& args, bool pipeOut) {
        int fds[2] = {-1, -1};
        if (pipeOut && pipe(fds) != 0) return {};
        Child c;
        c.pid = fork();
        if (c.pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlive the benchmark
            int devnull = open("/dev/null", O_RDWR);
            dup2(devnull, 0);
            dup2(pipeOut ? fds[1] : devnull, 1);
            dup2(devnull, 2);
            std::vector<char*> argv;
            for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execvp(argv[0], argv.data());
            _exit(127);
        }
        if (pipeOut) {
            close(fds[1]);
            c.out = fds[0];
        }
        return c;
    }
    void end() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (out >= 0) close(out);
        pid = -1;
        out = -1;
    }
};

// A UDP port nobody holds right now.
int freeUdpPort() {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

std::vector<double> runTheirs(const std::string& display, int width, int height, Painter& painter,
                              std::chrono::seconds duration) {
    const std::string url = "udp://127.0.0.1:" + std::to_string(freeUdpPort());
    Samples samples(painter);
    Child receiver = Child::spawn({"ffmpeg",
                                   "-nostdin",
                                   "-loglevel",
                                   "quiet",
                                   "-fflags",
                                   "nobuffer",
                                   "-flags",
                                   "low_delay",
                                   "-probesize",
                                   "32",
                                   "-analyzeduration",
                                   "0",
                                   "-f",
                                   "mpegts",
                                   "-i",
                                   url + "?fifo_size=100000&overrun_nonfatal=1",
                                   "-fps_mode",
                                   "passthrough",
                                   "-f",
                                   "rawvideo",
                                   "-pix_fmt",
                                   "gray",
                                   "-"},
                                  true);
    Child sender = Child::spawn({"ffmpeg",
                                 "-nostdin",
                                 "-loglevel",
                                 "quiet",
                                 "-f",
                                 "x11grab",
                                 "-draw_mouse",
                                 "0",
                                 "-framerate",
                                 "60",
                                 "-video_size",
                                 std::to_string(width) + "x" + std::to_string(height),
                                 "-i",
                                 display,
                                 "-c:v",
                                 "libx264",
                                 "-preset",
                                 "ultrafast",
                                 "-tune",
                                 "zerolatency",
                                 "-threads",
                                 "4",
                                 "-b:v",
                                 "8M",
                                 "-muxdelay",
                                 "0",
                                 "-muxpreload",
                                 "0",
                                 "-flush_packets",
                                 "1",
                                 "-f",
                                 "mpegts",
                                 url + "?pkt_size=1316"},
                                false);
    if (receiver.pid <= 0 || sender.pid <= 0) {
        std::fprintf(stderr, "theirs: ffmpeg did not start\n");
        return {};
    }
    std::atomic<bool> done{false};
    std::thread reader([&] {
        std::vector<uint8_t> frame(static_cast<size_t>(width) * height);
        size_t have = 0;
        while (!done) {
            const ssize_t n = read(receiver.out, frame.data() + have, frame.size() - have);
            if (n <= 0) break;
            have += static_cast<size_t>(n);
            if (have < frame.size()) continue;
            have = 0;
            if (auto v = readCounter(frame.data(), width)) samples.saw(*v);
        }
    });
    std::this_thread::sleep_for(1500ms);  // both ends up and past the first keyframe
    painter.reset();
    painter.run(duration);
    std::this_thread::sleep_for(300ms);
    done = true;
    sender.end();
    receiver.end();
    reader.join();
    return samples.sorted();
}

}  // namespace

int main(int argc, char** argv) {
    const auto duration = std::chrono::seconds(argc > 1 ? std::atoi(argv[1]) : 10);
    const int width = argc > 3 ? std::atoi(argv[2]) : 1280;
    const int height = argc > 3 ? std::atoi(argv[3]) : 720;
    Log::setStderr(false);
    XvfbServer server;
    if (!server.start(width, height)) {
        std::fprintf(stderr, "no X server: %s\n", server.error().c_str());
        return 1;
    }
    Painter painter(server.display(), width, height);

    const auto ours = runOurs(server.display(), painter, duration);
    if (argc > 4 && std::string(argv[4]) == "--ours-samples") {
        std::printf("ours samples:");
        for (double v : ours) std::printf(" %.3f", v);
        std::printf("\n");
        return ours.empty() ? 1 : 0;
    }
    const auto theirs = runTheirs(server.display(), width, height, painter, duration);
    auto line = [](const char* who, const std::vector<double>& v) {
        std::printf("%-7s samples=%zu p50=%.1f ms p95=%.1f ms\n", who, v.size(), percentile(v, 0.5),
                    percentile(v, 0.95));
    };
    line("ours", ours);
    line("ffmpeg", theirs);
    if (ours.empty() || theirs.empty()) return 1;
    const double ratio = percentile(ours, 0.95) / percentile(theirs, 0.95);
    std::printf("p95 ratio ours/ffmpeg = %.2f (goal <= 0.80): %s\n", ratio,
                ratio <= 0.8 ? "met" : "not met");
    return 0;
}
