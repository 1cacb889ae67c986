#include "Orvane_Host/capture/FrameWrappers.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>

namespace orvane {

namespace {

using Clock = std::chrono::steady_clock;

// BT.709 limited range from premultiplied 8-bit RGB: the colour's share of Y, Cb, Cr.
struct Yuv {
    double y, cb, cr;
};
Yuv premultipliedToYuv(double r, double g, double b, double a) {
    return {16 * a + (0.2126 * r + 0.7152 * g + 0.0722 * b) * 219.0 / 255,
            128 * a + (-0.1146 * r - 0.3854 * g + 0.5 * b) * 224.0 / 255,
            128 * a + (0.5 * r - 0.4542 * g - 0.0458 * b) * 224.0 / 255};
}

uint8_t clamp8(double v) {
    return static_cast<uint8_t>(std::clamp(std::lround(v), 0L, 255L));
}

}  // namespace

void blendCursor(FrameBuffer& frame, const CursorImage& cursor, double left, double top,
                 double scale) {
    if (frame.format() == PixelFormat::yuv420p10 || cursor.width <= 0 || cursor.height <= 0 ||
        cursor.argb.size() < static_cast<size_t>(cursor.width) * cursor.height || scale <= 0)
        return;
    const int w = frame.width(), h = frame.height();
    const int x0 = std::max(0, static_cast<int>(std::floor(left)));
    const int y0 = std::max(0, static_cast<int>(std::floor(top)));
    const int x1 = std::min(w, static_cast<int>(std::ceil(left + cursor.width * scale)));
    const int y1 = std::min(h, static_cast<int>(std::ceil(top + cursor.height * scale)));
    if (x0 >= x1 || y0 >= y1) return;

    // The cursor pixel over frame pixel (x, y), as its colour's YUV share and alpha.
    auto sample = [&](int x, int y, Yuv& c, double& a) {
        const int cx = static_cast<int>((x + 0.5 - left) / scale);
        const int cy = static_cast<int>((y + 0.5 - top) / scale);
        if (cx < 0 || cy < 0 || cx >= cursor.width || cy >= cursor.height) {
            a = 0;
            c = {0, 0, 0};
            return;
        }
        const uint32_t p = cursor.argb[static_cast<size_t>(cy) * cursor.width + cx];
        a = (p >> 24) / 255.0;
        c = premultipliedToYuv((p >> 16) & 0xff, (p >> 8) & 0xff, p & 0xff, a);
    };

    for (int y = y0; y < y1; ++y) {
        uint8_t* row = frame.data(0) + static_cast<ptrdiff_t>(y) * frame.stride(0);
        for (int x = x0; x < x1; ++x) {
            Yuv c;
            double a;
            sample(x, y, c, a);
            if (a > 0) row[x] = clamp8(c.y + (1 - a) * row[x]);
        }
    }
    // Chroma: each sample covers a 2x2 block; the block's cursor share is the mean of its four.
    const bool nv12 = frame.format() == PixelFormat::nv12;
    for (int by = y0 / 2; by < (y1 + 1) / 2; ++by) {
        for (int bx = x0 / 2; bx < (x1 + 1) / 2; ++bx) {
            Yuv sum{0, 0, 0};
            double alpha = 0;
            for (int i = 0; i < 4; ++i) {
                Yuv c;
                double a;
                sample(2 * bx + (i & 1), 2 * by + (i >> 1), c, a);
                sum.cb += c.cb;
                sum.cr += c.cr;
                alpha += a;
            }
            if (alpha <= 0) continue;
            alpha /= 4;
            uint8_t* cb;
            uint8_t* cr;
            if (nv12) {
                cb = frame.data(1) + static_cast<ptrdiff_t>(by) * frame.stride(1) + 2 * bx;
                cr = cb + 1;
            } else {
                cb = frame.data(1) + static_cast<ptrdiff_t>(by) * frame.stride(1) + bx;
                cr = frame.data(2) + static_cast<ptrdiff_t>(by) * frame.stride(2) + bx;
            }
            *cb = clamp8(sum.cb / 4 + (1 - alpha) * *cb);
            *cr = clamp8(sum.cr / 4 + (1 - alpha) * *cr);
        }
    }
}

bool samePicture(const FrameBuffer& a, const FrameBuffer& b) {
    if (a.format() != b.format() || a.width() != b.width() || a.height() != b.height())
        return false;
    for (int p = 0; p < a.planes(); ++p) {
        const size_t bytes = static_cast<size_t>(a.rowBytes(p));
        for (int y = 0; y < a.planeHeight(p); ++y)
            if (std::memcmp(a.data(p) + static_cast<ptrdiff_t>(y) * a.stride(p),
                            b.data(p) + static_cast<ptrdiff_t>(y) * b.stride(p), bytes) != 0)
                return false;
    }
    return true;
}

namespace {

// A stream with the pointer drawn in. Frames come from the inner stream's thread and from the
// cursor watch's; `mutex` keeps deliveries one at a time and in time order.
class OverlayStream final : public ScreenStream {
public:
    OverlayStream(const CaptureDisplay& display, const StreamConfig& config, StreamSink sink)
        : display_(display),
          sink_(std::move(sink)),
          interval_(std::chrono::nanoseconds(1'000'000'000LL / std::max(1, config.fps))),
          depth_(static_cast<size_t>(std::max(2, config.queueDepth))) {}

    void attach(std::unique_ptr<ScreenStream> inner, std::unique_ptr<CursorWatch> watch) {
        inner_ = std::move(inner);
        watch_ = std::move(watch);
    }

    ~OverlayStream() override { stop(); }

    void stop() override {
        if (watch_) watch_->stop();
        if (inner_) inner_->stop();
        std::lock_guard g(mutex_);
        clean_.reset();
    }

    void setPixelFormat(PixelFormat format) override {
        if (inner_) inner_->setPixelFormat(format);
    }

    void onFrame(CapturedFrame frame) {
        std::lock_guard g(mutex_);
        if (frame.status != FrameStatus::complete || !frame.buffer) {
            sink_.onFrame(std::move(frame));
            return;
        }
        clean_ = frame.buffer;
        deliverLocked(frame.pts);
    }

    void onStop(PlatformError error) {
        std::lock_guard g(mutex_);
        clean_.reset();
        if (sink_.onStop) sink_.onStop(std::move(error));
    }

    void onTick(const CursorState& state) {
        std::lock_guard g(mutex_);
        latest_ = state;
        if (!clean_ || state == drawn_) return;
        if (!touches(drawn_) && !touches(state)) {
            drawn_ = state;  // moving elsewhere changes nothing here
            return;
        }
        if (Clock::now() - lastDelivery_ < interval_ * 3 / 4) return;  // the next tick retries
        const auto micros =
            std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch())
                .count();
        deliverLocked(MediaTime{std::max<int64_t>(micros, lastPts_ + 1), 1'000'000});
    }

private:
    // Frame pixels per display pixel.
    double factor() const {
        const double pixels = display_.width * display_.scale;
        return pixels > 0 && clean_ ? clean_->width() / pixels : 1;
    }

    // Whether the pointer in `state` covers any of this display.
    bool touches(const CursorState& state) const {
        if (!state.image) return false;
        const auto& c = *state.image;
        const double left = state.x - c.hotX / display_.scale;
        const double top = state.y - c.hotY / display_.scale;
        return left < display_.x + display_.width && top < display_.y + display_.height &&
               left + c.width / display_.scale > display_.x &&
               top + c.height / display_.scale > display_.y;
    }

    void deliverLocked(MediaTime pts) {
        const FrameBuffer& clean = *clean_;
        if (!pool_ || pool_->format() != clean.format() || pool_->width() != clean.width() ||
            pool_->height() != clean.height())
            pool_ = std::make_unique<FrameBufferPool>(clean.format(), clean.width(), clean.height(),
                                                      depth_);
        std::shared_ptr<FrameBuffer> out = pool_->acquire();
        if (!out) return;  // the consumer holds every buffer: it is behind
        for (int p = 0; p < clean.planes(); ++p)
            for (int y = 0; y < clean.planeHeight(p); ++y)
                std::memcpy(out->data(p) + static_cast<ptrdiff_t>(y) * out->stride(p),
                            clean.data(p) + static_cast<ptrdiff_t>(y) * clean.stride(p),
                            static_cast<size_t>(clean.rowBytes(p)));
        if (latest_.image) {
            const double f = factor();
            const auto& c = *latest_.image;
            blendCursor(*out, c, ((latest_.x - display_.x) * display_.scale - c.hotX) * f,
                        ((latest_.y - display_.y) * display_.scale - c.hotY) * f, f);
        }
        drawn_ = latest_;
        lastDelivery_ = Clock::now();
        lastPts_ = static_cast<int64_t>(pts.toMicros());
        sink_.onFrame({FrameStatus::complete, std::move(out), pts});
    }

    const CaptureDisplay display_;
    StreamSink sink_;
    const std::chrono::nanoseconds interval_;
    const size_t depth_;
    std::unique_ptr<ScreenStream> inner_;
    std::unique_ptr<CursorWatch> watch_;

    std::mutex mutex_;
    std::shared_ptr<FrameBuffer> clean_;  // the last frame without the pointer
    CursorState latest_;
    CursorState drawn_;
    Clock::time_point lastDelivery_{};
    int64_t lastPts_ = 0;
    std::unique_ptr<FrameBufferPool> pool_;
};

// Keeps the last frame passed on and drops any that shows the same.
class FilterStream final : public ScreenStream {
public:
    explicit FilterStream(StreamSink sink) : sink_(std::move(sink)) {}
    void attach(std::unique_ptr<ScreenStream> inner) { inner_ = std::move(inner); }
    ~FilterStream() override { stop(); }
    void stop() override {
        if (inner_) inner_->stop();
        std::lock_guard g(mutex_);
        last_.reset();
    }
    void setPixelFormat(PixelFormat format) override {
        if (inner_) inner_->setPixelFormat(format);
    }
    void onFrame(CapturedFrame frame) {
        if (frame.status == FrameStatus::complete && frame.buffer) {
            std::lock_guard g(mutex_);
            if (last_ && samePicture(*last_, *frame.buffer)) return;
            last_ = frame.buffer;
        }
        sink_.onFrame(std::move(frame));
    }
    void onStop(PlatformError error) {
        if (sink_.onStop) sink_.onStop(std::move(error));
    }

private:
    StreamSink sink_;
    std::unique_ptr<ScreenStream> inner_;
    std::mutex mutex_;
    std::shared_ptr<FrameBuffer> last_;
};

// Lets the wrapper hand out a unique_ptr while the sinks hold the stream shared.
template <class S>
class Handle final : public ScreenStream {
public:
    explicit Handle(std::shared_ptr<S> s) : s_(std::move(s)) {}
    ~Handle() override { s_->stop(); }
    void stop() override { s_->stop(); }
    void setPixelFormat(PixelFormat format) override { s_->setPixelFormat(format); }

private:
    std::shared_ptr<S> s_;
};

}  // namespace

CursorOverlaySource::CursorOverlaySource(std::shared_ptr<ScreenSource> inner,
                                         std::shared_ptr<CursorSource> cursor)
    : inner_(std::move(inner)), cursor_(std::move(cursor)) {}

std::unique_ptr<ScreenStream> CursorOverlaySource::startStream(const CaptureDisplay& display,
                                                               const StreamConfig& config,
                                                               StreamSink sink) {
    if (!config.showsCursor || !cursor_) return inner_->startStream(display, config, sink);
    auto stream = std::make_shared<OverlayStream>(display, config, std::move(sink));
    std::weak_ptr<OverlayStream> weak = stream;
    StreamConfig plain = config;
    plain.showsCursor = false;
    StreamSink inner;
    inner.onFrame = [weak](CapturedFrame f) {
        if (auto s = weak.lock()) s->onFrame(std::move(f));
    };
    inner.onStop = [weak](PlatformError e) {
        if (auto s = weak.lock()) s->onStop(std::move(e));
    };
    // The pointer first, so the first frame already shows it.
    std::unique_ptr<CursorWatch> watch;
    try {
        watch = cursor_->watch(std::chrono::nanoseconds(1'000'000'000LL / std::max(1, config.fps)),
                               [weak](const CursorState& state) {
                                   if (auto s = weak.lock()) s->onTick(state);
                               });
    } catch (const PlatformError&) {
        // Without the pointer the picture is still worth having.
    }
    std::unique_ptr<ScreenStream> innerStream;
    try {
        innerStream = inner_->startStream(display, plain, inner);
    } catch (...) {
        if (watch) watch->stop();
        throw;
    }
    stream->attach(std::move(innerStream), std::move(watch));
    return std::make_unique<Handle<OverlayStream>>(stream);
}

std::unique_ptr<ScreenStream> UnchangedFrameFilter::startStream(const CaptureDisplay& display,
                                                                const StreamConfig& config,
                                                                StreamSink sink) {
    auto stream = std::make_shared<FilterStream>(std::move(sink));
    std::weak_ptr<FilterStream> weak = stream;
    StreamSink inner;
    inner.onFrame = [weak](CapturedFrame f) {
        if (auto s = weak.lock()) s->onFrame(std::move(f));
    };
    inner.onStop = [weak](PlatformError e) {
        if (auto s = weak.lock()) s->onStop(std::move(e));
    };
    stream->attach(inner_->startStream(display, config, std::move(inner)));
    return std::make_unique<Handle<FilterStream>>(stream);
}

}  // namespace orvane
