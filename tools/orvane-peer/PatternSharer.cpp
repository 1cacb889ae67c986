#include "PatternSharer.h"

#include <chrono>
#include <cstring>
#include <memory>

#include "OrvaneKit/media/FrameBuffer.h"
#include "OrvaneKit/media/VideoEncoder.h"
#include "OrvaneKit/media/x26x/LibraryEncoderBackend.h"
#include "OrvaneKit/protocol/Json.h"
#include "OrvaneKit/protocol/Messages.h"

namespace orvane {
namespace {

constexpr int fps = 10;

struct Yuv {
    std::uint8_t y, u, v;
};
// Video-range BT.601.
constexpr Yuv red{81, 90, 240}, blue{41, 240, 110}, white{235, 128, 128};

void paint(FrameBuffer& f, int frame, int w, int h) {
    const int square = w / 5, top = (frame * 40) % (h - square), left = (w - square) / 2;
    for (int row = 0; row < h; ++row) {
        std::uint8_t* y = f.data(0) + row * f.stride(0);
        std::memset(y, row < h / 2 ? red.y : blue.y, static_cast<std::size_t>(w));
        if (row >= top && row < top + square)
            std::memset(y + left, white.y, static_cast<std::size_t>(square));
    }
    for (int row = 0; row < h / 2; ++row) {
        std::uint8_t* uv = f.data(1) + row * f.stride(1);
        const Yuv& c = row * 2 < h / 2 ? red : blue;
        for (int x = 0; x < w / 2; ++x) {
            bool inSquare =
                row * 2 >= top && row * 2 < top + square && x * 2 >= left && x * 2 < left + square;
            uv[2 * x] = inSquare ? white.u : c.u;
            uv[2 * x + 1] = inSquare ? white.v : c.v;
        }
    }
}

}  // namespace

PatternSharer::PatternSharer(Send send, int orientation)
    : send_(std::move(send)), orientation_(orientation), thread_([this] { run(); }) {}

PatternSharer::~PatternSharer() {
    stop_ = true;
    thread_.join();
}

void PatternSharer::saw(MessageType type) {
    if (type == MessageType::helloAck) welcomed_ = true;
    if (type == MessageType::keyframeRequest) keyframe_ = true;
}

void PatternSharer::run() {
    while (!welcomed_ && !stop_) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (stop_) return;
    if (auto body = json::encode(SharerInfo{static_cast<std::uint32_t>(orientation_)}))
        send_(MessageType::sharerInfo, std::move(*body));
    const std::int64_t bitrate = 2'000'000;
    VideoEncoder encoder(bitrate, fps, std::make_shared<LibraryEncoderBackend>());
    encoder.configure(bitrate, fps, VideoCodec::h264, false);
    encoder.onPacket = [this](VideoPacket p) {
        if (auto body = p.serialize()) send_(MessageType::video, std::move(*body));
    };
    FrameBufferPool pool(PixelFormat::nv12, width, height, 3);
    auto next = std::chrono::steady_clock::now();
    for (int i = 0; !stop_; ++i) {
        if (keyframe_.exchange(false)) encoder.requestKeyframe();
        auto frame = pool.acquire();
        paint(*frame, i, width, height);
        encoder.encode(*frame, {i, fps});
        next += std::chrono::milliseconds(1000 / fps);
        std::this_thread::sleep_until(next);
    }
    encoder.invalidate();
}

}  // namespace orvane
