#include "Orvane_Host/capture/ScreenCapturer.h"

#include <asio/post.hpp>
#include <cmath>
#include <utility>

#include "OrvaneKit/base/Logger.h"

namespace orvane {

namespace {

const Logger& logger() {
    static const Logger log{"com.nimbrel.kelsap.host", "capture"};
    return log;
}

}  // namespace

std::mutex& excludedWindowLock() {
    static std::mutex lock;
    return lock;
}

std::set<uint32_t>& excludedWindowIDs() {
    static std::set<uint32_t> ids;
    return ids;
}

// Shared with the handlers posted to the queue, which may run after the capturer is gone.
// Every stream gets a new generation; stop and restart move it on, so frames and stop reports
// of an older stream are recognised and dropped.
struct ScreenCapturer::Core {
    std::mutex mutex;
    uint64_t generation = 0;
    std::unique_ptr<ScreenStream> stream;
    std::unique_ptr<SystemAudioStream> audioStream;
    FrameHandler onFrame;
    StopHandler onStop;
    AudioHandler onAudio;
    std::shared_ptr<SystemAudioSource> audioSource;
    PixelFormat format = PixelFormat::nv12;
    // A stream that ended before start() had stored it: start() throws this instead.
    std::optional<std::pair<uint64_t, PlatformError>> earlyStop;

    // On the queue.
    // On the audio queue.
    void deliverAudio(uint64_t gen, PcmBuffer buffer) {
        AudioHandler handler;
        {
            std::lock_guard lock(mutex);
            if (gen != generation) return;
            handler = onAudio;
        }
        if (handler) handler(std::move(buffer));
    }

    void deliver(uint64_t gen, CapturedFrame frame) {
        if (frame.status != FrameStatus::complete || !frame.buffer) return;
        FrameHandler handler;
        {
            std::lock_guard lock(mutex);
            if (gen != generation) return;
            handler = onFrame;
        }
        if (handler) handler(frame.buffer, frame.pts);
    }

    // On the queue: the platform ended stream `gen` by itself.
    void platformStopped(uint64_t gen, PlatformError error) {
        std::unique_ptr<ScreenStream> old;
        std::unique_ptr<SystemAudioStream> audio;
        StopHandler handler;
        {
            std::lock_guard lock(mutex);
            if (gen != generation) return;  // stopped or replaced meanwhile
            ++generation;
            if (!stream) {
                earlyStop.emplace(gen, std::move(error));
                return;
            }
            old = std::move(stream);
            audio = std::move(audioStream);
            handler = onStop;
        }
        old->stop();
        if (audio) audio->stop();
        logger().error("capture stopped: {}", error.what());
        if (handler) handler(std::move(error));
    }
};

ScreenCapturer::ScreenCapturer(std::shared_ptr<ScreenSource> source, NetContext& net)
    : source_(std::move(source)),
      queue_(net.makeStrand("orvane.capture")),
      audioQueue_(net.makeStrand("orvane.capture.audio")),
      core_(std::make_shared<Core>()) {}

ScreenCapturer::~ScreenCapturer() {
    stop();
    std::lock_guard lock(core_->mutex);
    core_->onFrame = nullptr;
    core_->onStop = nullptr;
    core_->onAudio = nullptr;
}

void ScreenCapturer::setOnFrame(FrameHandler handler) {
    std::lock_guard lock(core_->mutex);
    core_->onFrame = std::move(handler);
}

void ScreenCapturer::setOnStop(StopHandler handler) {
    std::lock_guard lock(core_->mutex);
    core_->onStop = std::move(handler);
}

void ScreenCapturer::setOnAudio(AudioHandler handler) {
    std::lock_guard lock(core_->mutex);
    core_->onAudio = std::move(handler);
}

void ScreenCapturer::setAudioSource(std::shared_ptr<SystemAudioSource> source) {
    std::lock_guard lock(core_->mutex);
    core_->audioSource = std::move(source);
}

ScreenCapturer::Size ScreenCapturer::captureSize(double widthPoints, double heightPoints,
                                                 double scale, int maxWidth) {
    int64_t width = static_cast<int64_t>(std::trunc(widthPoints * scale));
    int64_t height = static_cast<int64_t>(std::trunc(heightPoints * scale));
    if (maxWidth < width && width > 0) {
        height = height * maxWidth / width;
        width = maxWidth;
    }
    width &= ~int64_t{1};
    height &= ~int64_t{1};
    return {static_cast<int>(width), static_cast<int>(height)};
}

void ScreenCapturer::start(const CaptureDisplay& display, int maxWidth, int fps, bool audio,
                           bool hdr) {
    stop();

    StreamConfig config;
    {
        std::lock_guard lock(excludedWindowLock());
        config.excludedWindows = excludedWindowIDs();
    }
    if (!config.excludedWindows.empty() && !source_->canExcludeWindows())
        logger().error("this display server cannot leave {} window(s) out of the capture",
                       config.excludedWindows.size());

    const Size size = captureSize(display.width, display.height, display.scale, maxWidth);
    if (size.width <= 0 || size.height <= 0 || fps <= 0)
        throw PlatformError("capture", Err::invalid, "Invalid capture size or frame rate.");
    config.width = size.width;
    config.height = size.height;
    config.fps = fps;
    config.hdr = hdr;
    config.showsCursor = true;
    config.queueDepth = 5;

    uint64_t gen;
    std::shared_ptr<SystemAudioSource> audioSource;
    {
        std::lock_guard lock(core_->mutex);
        gen = ++core_->generation;
        config.format = core_->format;
        audioSource = core_->audioSource;
    }
    if (audio && !audioSource)
        throw PlatformError("capture", Err::invalid, "System sound cannot be captured here.");

    std::weak_ptr<Core> weak = core_;
    StreamSink sink;
    auto queue = queue_;
    sink.onFrame = [weak, queue, gen](CapturedFrame frame) {
        asio::post(queue, [weak, gen, frame = std::move(frame)]() mutable {
            if (auto core = weak.lock()) core->deliver(gen, std::move(frame));
        });
    };
    sink.onStop = [weak, queue, gen](PlatformError error) {
        asio::post(queue, [weak, gen, error = std::move(error)]() mutable {
            if (auto core = weak.lock()) core->platformStopped(gen, std::move(error));
        });
    };

    std::unique_ptr<ScreenStream> stream = source_->startStream(display, config, std::move(sink));
    std::unique_ptr<SystemAudioStream> audioStream;
    if (audio) {
        auto audioQueue = audioQueue_;
        try {
            audioStream = audioSource->start([weak, audioQueue, gen](PcmBuffer buffer) {
                asio::post(audioQueue, [weak, gen, buffer = std::move(buffer)]() mutable {
                    if (auto core = weak.lock()) core->deliverAudio(gen, std::move(buffer));
                });
            });
        } catch (...) {
            stream->stop();
            throw;
        }
    }

    bool superseded = false;
    std::optional<PlatformError> failed;
    {
        std::lock_guard lock(core_->mutex);
        if (core_->generation == gen) {
            // A format set while the stream was starting applies to it too.
            if (core_->format != config.format) stream->setPixelFormat(core_->format);
            core_->stream = std::move(stream);
            core_->audioStream = std::move(audioStream);
        } else {
            // A concurrent stop or start won, or the stream already died: it must not linger.
            superseded = true;
            if (core_->earlyStop && core_->earlyStop->first == gen)
                failed.emplace(std::move(core_->earlyStop->second));
            core_->earlyStop.reset();
        }
    }
    if (superseded) {
        stream->stop();
        if (audioStream) audioStream->stop();
        if (failed) throw *failed;
        return;
    }
    logger().info("capturing display {} at {}x{}, {} fps{}", display.id, size.width, size.height,
                  fps, audio ? " with sound" : "");
}

void ScreenCapturer::stop() noexcept {
    std::unique_ptr<ScreenStream> stream;
    std::unique_ptr<SystemAudioStream> audioStream;
    {
        std::lock_guard lock(core_->mutex);
        ++core_->generation;
        stream = std::move(core_->stream);
        audioStream = std::move(core_->audioStream);
    }
    try {
        if (stream) stream->stop();
        if (audioStream) audioStream->stop();
    } catch (...) {
        // Stopping is best effort; the stream is gone for us either way.
    }
}

void ScreenCapturer::setPixelFormat(PixelFormat format) {
    if (format == PixelFormat::yuv420p10) return;
    std::lock_guard lock(core_->mutex);
    core_->format = format;
    if (core_->stream) core_->stream->setPixelFormat(format);
}

bool ScreenCapturer::isRunning() const {
    std::lock_guard lock(core_->mutex);
    return core_->stream != nullptr;
}

}  // namespace orvane
