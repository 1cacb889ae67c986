// The video receiver's decoding against FFmpeg's, on the same bytes.
//
//   bench_decode [ROUNDS]      default 3 alternating rounds per side; pin with taskset
//
// The stream: 6 s of 1920x1080 at 60 fps (moving bands and a noise block, so every frame
// carries bits), made by the project's encoder at 12 Mbit/s. Ours: VideoReceiver::receive on
// each message body, as fast as it takes them, decoding only (no picture conversion; a second
// line adds the BGRA conversion a viewer window asks for). Peer: `ffmpeg -f h264 -i FILE -f null
// -` on the same stream written as Annex-B. Both are charged process CPU (user + system).

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "OrvaneKit/media/VideoEncoder.h"
#include "OrvaneKit/media/ffmpeg/VideoReceiver.h"
#include "OrvaneKit/media/x26x/LibraryEncoderBackend.h"
#include "OrvaneKit/net/testing/ChildProcess.h"
#include "bench/support/PeerRun.h"

using namespace orvane;
using bench::median;

namespace {

constexpr int width = 1920, height = 1080, fps = 60, count = 360;

double selfCpu() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

std::vector<VideoPacket> encodeStream() {
    VideoEncoder encoder(12'000'000, fps, std::make_shared<LibraryEncoderBackend>());
    encoder.configure(12'000'000, fps, VideoCodec::h264, false);
    std::vector<VideoPacket> packets;
    encoder.onPacket = [&](VideoPacket p) { packets.push_back(std::move(p)); };
    FrameBufferPool pool(PixelFormat::nv12, width, height, 3);
    std::mt19937 rng(7);
    for (int i = 0; i < count; ++i) {
        auto f = pool.acquire();
        for (int y = 0; y < height; ++y) {
            uint8_t* row = f->data(0) + static_cast<size_t>(y) * f->stride(0);
            for (int x = 0; x < width; ++x) row[x] = static_cast<uint8_t>((x + y + 4 * i) / 3);
            if (y >= 300 && y < 600)
                for (int x = 600 + 2 * i; x < 900 + 2 * i && x < width; ++x)
                    row[x] = static_cast<uint8_t>(rng());
        }
        for (int y = 0; y < height / 2; ++y) {
            uint8_t* row = f->data(1) + static_cast<size_t>(y) * f->stride(1);
            for (int x = 0; x < width; ++x)
                row[x] = static_cast<uint8_t>(128 + ((x / 64 + i) % 32));
        }
        encoder.encode(*f, {i, fps});
    }
    encoder.invalidate();
    return packets;
}

void writeAnnexB(const std::vector<VideoPacket>& packets, const std::string& path) {
    std::ofstream out(path, std::ios::binary);
    const char start[4] = {0, 0, 0, 1};
    for (const VideoPacket& p : packets) {
        for (const Bytes& ps : p.parameterSets) {
            out.write(start, 4);
            out.write(reinterpret_cast<const char*>(ps.data()),
                      static_cast<std::streamsize>(ps.size()));
        }
        for (size_t at = 0; at + 4 <= p.avcc.size();) {
            const size_t n = (size_t(p.avcc[at]) << 24) | (size_t(p.avcc[at + 1]) << 16) |
                             (size_t(p.avcc[at + 2]) << 8) | size_t(p.avcc[at + 3]);
            out.write(start, 4);
            out.write(reinterpret_cast<const char*>(p.avcc.data() + at + 4),
                      static_cast<std::streamsize>(n));
            at += 4 + n;
        }
    }
}

struct Result {
    double frames = 0, cpu = 0;
    double perFrameMs() const { return frames ? 1000 * cpu / frames : 0; }
};

Result runOurs(const std::vector<Bytes>& bodies, bool pictures) {
    VideoReceiver receiver;
    if (pictures) receiver.onPicture = [](const DecodedPicture&) {};
    const double cpu0 = selfCpu();
    for (const Bytes& b : bodies) receiver.receive(b);
    Result r;
    r.cpu = selfCpu() - cpu0;
    r.frames = receiver.takeFrameCount();
    return r;
}

Result runPeer(const std::string& file) {
    const bench::FfmpegRun run =
        bench::runFfmpeg({"-f", "h264", "-i", file, "-f", "null", "-"}, std::chrono::seconds(120));
    return {run.frames, run.cpu};
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 3;
    const std::vector<VideoPacket> packets = encodeStream();
    std::vector<Bytes> bodies;
    size_t bytes = 0;
    for (const VideoPacket& p : packets) {
        bodies.push_back(*p.serialize());
        bytes += p.avcc.size();
    }
    const std::string file = (std::filesystem::temp_directory_path() /
                              ("bench-decode-" + std::to_string(getpid()) + ".h264"))
                                 .string();
    writeAnnexB(packets, file);
    std::printf("nproc %u, %zu packets, %.1f Mbit/s\n", std::thread::hardware_concurrency(),
                packets.size(), bytes * 8.0 / (count / double(fps)) / 1e6);

    std::vector<double> ours, oursPictures, peer;
    for (int i = 0; i < rounds; ++i) {
        const Result o = runOurs(bodies, false);
        const Result op = runOurs(bodies, true);
        const Result p = runPeer(file);
        std::printf(
            "round %d: ours %.0f frames %.2f ms CPU/frame (with BGRA %.2f) | ffmpeg %.0f "
            "frames %.2f ms CPU/frame\n",
            i + 1, o.frames, o.perFrameMs(), op.perFrameMs(), p.frames, p.perFrameMs());
        ours.push_back(o.perFrameMs());
        oursPictures.push_back(op.perFrameMs());
        peer.push_back(p.perFrameMs());
    }
    std::filesystem::remove(file);
    std::printf(
        "decode 1080p60 H.264: ours %.2f ms CPU/frame (with BGRA pictures %.2f) | ffmpeg "
        "%.2f ms CPU/frame\n",
        median(ours), median(oursPictures), median(peer));
    std::printf("ratio CPU/frame ours/ffmpeg: %.3f (goal <= 1.2)\n", median(ours) / median(peer));
    return 0;
}
