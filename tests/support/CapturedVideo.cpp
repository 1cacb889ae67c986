#include "tests/support/CapturedVideo.h"

#include <algorithm>
#include <asio/post.hpp>
#include <mutex>

#include "OrvaneKit/media/VideoEncoder.h"
#include "OrvaneKit/media/x26x/LibraryEncoderBackend.h"
#include "Orvane_Host/capture/ScreenCapturer.h"

namespace orvane {

namespace {

class CapturedStream final : public BrowserVideoStream,
                             public std::enable_shared_from_this<CapturedStream> {
public:
    CapturedStream(std::shared_ptr<ScreenSource> source, NetContext& net,
                   const BrowserVideoSource::Settings& s,
                   BrowserVideoSource::EncodedHandler onEncoded)
        : capturer_(std::move(source), net),
          encoder_(s.bitrate, s.fps,
                   std::make_shared<LibraryEncoderBackend>(EncoderTuning{"ultrafast", 2})),
          onEncoded_(std::move(onEncoded)) {
        encoder_.onPacket = [this](VideoPacket p) {
            if (auto bytes = p.serialize()) onEncoded_(p, *bytes);
        };
        capturer_.setPixelFormat(PixelFormat::nv12);
        capturer_.setOnFrame([this](const std::shared_ptr<FrameBuffer>& f, MediaTime pts) {
            {
                std::lock_guard lock(mutex_);
                last_ = f;
                lastPts_ = pts;
            }
            encoder_.encode(*f, pts);
        });
    }
    ~CapturedStream() override { stop(); }

    void begin(const CaptureDisplay& display, const BrowserVideoSource::Settings& s) {
        capturer_.start(display, s.maxWidth, s.fps, false, false);
    }
    void requestKeyframe() override { encoder_.requestKeyframe(); }
    void sendKeyframeNow() override {
        asio::post(capturer_.queue(), [weak = weak_from_this()] {
            auto self = weak.lock();
            if (!self) return;
            std::shared_ptr<FrameBuffer> frame;
            MediaTime pts;
            {
                std::lock_guard lock(self->mutex_);
                frame = self->last_;
                pts = self->lastPts_;
            }
            if (!frame) return;
            self->encoder_.requestKeyframe();
            // Just after the last frame, so the encoder's times keep increasing.
            const std::int64_t step = std::max<std::int64_t>(1, pts.timescale / 1000);
            self->encoder_.encode(*frame, MediaTime{pts.value + step, pts.timescale});
        });
    }
    void stop() override {
        capturer_.stop();
        std::lock_guard lock(mutex_);
        last_.reset();
    }

private:
    ScreenCapturer capturer_;
    VideoEncoder encoder_;
    BrowserVideoSource::EncodedHandler onEncoded_;
    std::mutex mutex_;
    std::shared_ptr<FrameBuffer> last_;
    MediaTime lastPts_;
};

}  // namespace

std::shared_ptr<BrowserVideoStream> CapturedVideo::start(std::uint32_t displayID,
                                                         const Settings& settings,
                                                         EncodedHandler onEncoded, StopHandler) {
    std::optional<CaptureDisplay> display;
    for (const auto& d : source_->displays())
        if (d.id == displayID) display = d;
    if (!display) throw std::runtime_error("no such display");
    auto stream = std::make_shared<CapturedStream>(source_, net_, settings, std::move(onEncoded));
    stream->begin(*display, settings);
    return stream;
}

}  // namespace orvane
