#include "tests/support/PatternVideo.h"

#include <chrono>
#include <cstring>

#include "OrvaneKit/media/VideoEncoder.h"
#include "OrvaneKit/media/x26x/LibraryEncoderBackend.h"

namespace orvane {

namespace {

// Limited-range BT.709 samples of the four quarters.
struct Yuv {
    std::uint8_t y, cb, cr;
};
constexpr Yuv red{63, 102, 240}, green{173, 42, 26}, blue{32, 240, 118}, white{235, 128, 128};

std::shared_ptr<FrameBuffer> pattern() {
    auto f = FrameBuffer::make(PixelFormat::nv12, PatternVideo::width, PatternVideo::height);
    auto at = [](int x, int y) {
        bool right = x >= PatternVideo::width / 2, bottom = y >= PatternVideo::height / 2;
        return bottom ? (right ? white : blue) : (right ? green : red);
    };
    for (int y = 0; y < f->height(); ++y)
        for (int x = 0; x < f->width(); ++x) f->data(0)[y * f->stride(0) + x] = at(x, y).y;
    for (int y = 0; y < f->planeHeight(1); ++y)
        for (int x = 0; x < f->width() / 2; ++x) {
            auto c = at(2 * x, 2 * y);
            f->data(1)[y * f->stride(1) + 2 * x] = c.cb;
            f->data(1)[y * f->stride(1) + 2 * x + 1] = c.cr;
        }
    return f;
}

class Stream final : public BrowserVideoStream {
public:
    Stream(const BrowserVideoSource::Settings& s, BrowserVideoSource::EncodedHandler onEncoded)
        : encoder_(s.bitrate, 30, std::make_shared<LibraryEncoderBackend>()),
          onEncoded_(std::move(onEncoded)) {
        encoder_.onPacket = [this](VideoPacket p) {
            if (auto bytes = p.serialize()) onEncoded_(p, *bytes);
        };
        thread_ = std::thread([this] { run(); });
    }
    ~Stream() override { stop(); }
    void requestKeyframe() override { encoder_.requestKeyframe(); }
    void sendKeyframeNow() override { encoder_.requestKeyframe(); }
    void stop() override {
        running_ = false;
        std::lock_guard lock(joinMutex_);
        if (thread_.joinable()) thread_.join();
    }

private:
    void run() {
        auto frame = pattern();
        auto next = std::chrono::steady_clock::now();
        while (running_) {
            auto now = std::chrono::duration_cast<std::chrono::microseconds>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count();
            encoder_.encode(*frame, MediaTime{now, 1'000'000});
            next += std::chrono::milliseconds(33);
            std::this_thread::sleep_until(next);
        }
    }

    VideoEncoder encoder_;
    BrowserVideoSource::EncodedHandler onEncoded_;
    std::atomic<bool> running_{true};
    std::mutex joinMutex_;
    std::thread thread_;
};

}  // namespace

std::shared_ptr<BrowserVideoStream> PatternVideo::start(std::uint32_t, const Settings& settings,
                                                        EncodedHandler onEncoded, StopHandler) {
    ++starts;
    return std::make_shared<Stream>(settings, std::move(onEncoded));
}

}  // namespace orvane
