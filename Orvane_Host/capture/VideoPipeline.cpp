#include "Orvane_Host/capture/VideoPipeline.h"

#include <asio/post.hpp>
#include <future>

#include "OrvaneKit/base/Logger.h"
#include "OrvaneKit/media/AudioEncoder.h"
#include "OrvaneKit/media/VideoEncoder.h"

namespace orvane {

namespace {

const Logger& logger() {
    static const Logger log{"com.nimbrel.kelsap.host", "video"};
    return log;
}

PixelFormat captureFormatFor(VideoCodec codec) {
    // The HEVC library takes planar input directly; the H.264 one prefers NV12.
    return codec == VideoCodec::hevc ? PixelFormat::i420 : PixelFormat::nv12;
}

}  // namespace

std::unique_ptr<AudioEncoder> VideoPipeline::defaultAudioEncoder() {
    return AudioEncoder::create(audioSampleRate, audioChannels, audioBitrate);
}

std::shared_ptr<VideoPipeline> VideoPipeline::make(Parts parts, std::int64_t bitrate) {
    std::shared_ptr<VideoPipeline> pipeline(new VideoPipeline(std::move(parts), bitrate));
    pipeline->wire();
    return pipeline;
}

VideoPipeline::VideoPipeline(Parts parts, std::int64_t bitrate)
    : parts_(std::move(parts)),
      capturer_(std::make_unique<ScreenCapturer>(parts_.screens, *parts_.net)),
      encoder_(std::make_unique<VideoEncoder>(bitrate, 60, parts_.encoders)),
      statsStart_(parts_.clock->monoNow()) {
    if (parts_.makeAudioEncoder) audioEncoder_ = parts_.makeAudioEncoder();
    if (audioEncoder_) audioFormat_ = audioEncoder_->streamFormat();
    capturer_->setAudioSource(parts_.sound);
}

VideoPipeline::~VideoPipeline() {
    stop();
}

void VideoPipeline::wire() {
    std::weak_ptr<VideoPipeline> weak = weak_from_this();
    capturer_->setOnFrame([weak](const std::shared_ptr<FrameBuffer>& frame, MediaTime pts) {
        if (auto self = weak.lock()) self->handleFrame(frame, pts);
    });
    capturer_->setOnAudio([weak](PcmBuffer pcm) {
        if (auto self = weak.lock()) self->handleAudio(pcm);
    });
    capturer_->setOnStop([weak](std::optional<PlatformError> error) {
        auto self = weak.lock();
        if (!self) return;
        StopHandler handler;
        {
            std::lock_guard g(self->lock_);
            self->dead_ = true;
            handler = self->onStop_;
        }
        if (handler) handler(std::move(error));
    });
    // The encoder only ever runs on the capture queue, and its packets come back there.
    encoder_->onPacket = [weak](VideoPacket packet) {
        if (auto self = weak.lock()) self->handleEncoded(packet);
    };
}

void VideoPipeline::setOnStop(StopHandler handler) {
    std::lock_guard g(lock_);
    onStop_ = std::move(handler);
}

void VideoPipeline::setOnEncoded(EncodedHook hook) {
    std::lock_guard g(lock_);
    onEncoded_ = std::move(hook);
}

void VideoPipeline::setTargets(Targets targets) {
    std::lock_guard g(lock_);
    if (!stopped_) targets_ = std::move(targets);
}

VideoPipeline::Targets VideoPipeline::targets() const {
    std::lock_guard g(lock_);
    return targets_;
}

NetContext::Strand& VideoPipeline::queue() {
    return capturer_->queue();
}

void VideoPipeline::onCapture(std::function<void(VideoPipeline&)> job) {
    std::weak_ptr<VideoPipeline> weak = weak_from_this();
    asio::post(capturer_->queue(), [weak, job = std::move(job)] {
        auto self = weak.lock();
        if (!self) return;
        {
            std::lock_guard g(self->lock_);
            if (self->stopped_) return;
        }
        job(*self);
    });
}

void VideoPipeline::setTargetBitrate(std::int64_t bitrate, int fps) {
    {
        std::lock_guard g(lock_);
        targetBitrate_ = currentBitrate_ = bitrate;
    }
    applyBitrate(bitrate, fps);
}

void VideoPipeline::applyBitrate(std::int64_t bitrate, int fps) {
    onCapture([bitrate, fps](VideoPipeline& self) { self.encoder_->configure(bitrate, fps); });
}

void VideoPipeline::setCodec(VideoCodec codec, std::int64_t bitrate, bool hdr) {
    onCapture([=](VideoPipeline& self) { self.applyCodec(codec, hdr, bitrate); });
}

void VideoPipeline::applyCodec(VideoCodec codec, bool hdr, std::int64_t bitrate) {
    // The encoder's own settings decide, not the capture's: the owner may already have set the
    // next capture's HDR flag before this runs.
    if (codec == encoder_->codec() && hdr == encoder_->hdr()) return;
    int fps;
    {
        std::lock_guard g(lock_);
        hdr_ = hdr;
        fps = fps_;
    }
    capturer_->setPixelFormat(captureFormatFor(codec));
    encoder_->configure(bitrate, fps, codec, hdr);
    encodeLastFrameAsKeyframe();
}

void VideoPipeline::setCaptureSettings(int fps, bool hdr) {
    std::lock_guard g(lock_);
    fps_ = fps;
    hdr_ = hdr;
}

void VideoPipeline::requestKeyframe() {
    encoder_->requestKeyframe();
}

void VideoPipeline::sendKeyframeNow() {
    onCapture([](VideoPipeline& self) { self.encodeLastFrameAsKeyframe(); });
}

void VideoPipeline::encodeLastFrameAsKeyframe() {
    std::shared_ptr<FrameBuffer> frame;
    MediaTime pts;
    {
        std::lock_guard g(lock_);
        frame = lastFrame_;
        pts = lastPts_;
    }
    if (!frame) return;
    encoder_->requestKeyframe();
    encoder_->encode(*frame, pts);
}

void VideoPipeline::start(const CaptureDisplay& display, int maxWidth, bool sound) {
    int fps;
    bool hdr;
    {
        std::lock_guard g(lock_);
        if (stopped_) throw PlatformError("capture", Err::invalid, "The pipeline was stopped.");
        fps = fps_;
        hdr = hdr_;
        dead_ = false;
    }
    capturer_->start(display, maxWidth, fps, sound && canEncodeSound(), hdr);
}

void VideoPipeline::stop() {
    {
        std::lock_guard g(lock_);
        if (stopped_) return;
        stopped_ = true;
    }
    capturer_->stop();
    auto finish = [this] {
        encoder_->invalidate();
        encoder_->onPacket = nullptr;
    };
    if (capturer_->queue().running_in_this_thread()) {
        finish();
    } else {
        std::promise<void> done;
        asio::post(capturer_->queue(), [&] {
            finish();
            done.set_value();
        });
        done.get_future().wait();
    }
    {
        std::lock_guard g(lock_);
        lastFrame_.reset();
        targets_.clear();
        onStop_ = nullptr;
        onEncoded_ = nullptr;
    }
    capturer_->setOnFrame(nullptr);
    capturer_->setOnAudio(nullptr);
    capturer_->setOnStop(nullptr);
}

bool VideoPipeline::canEncodeSound() const {
    return audioFormat_.has_value() && parts_.sound != nullptr;
}

std::optional<AudioStreamFormat> VideoPipeline::audioFormat() const {
    return audioFormat_;
}

std::shared_ptr<const FrameBuffer> VideoPipeline::lastFrame() const {
    std::lock_guard g(lock_);
    return lastFrame_;
}

bool VideoPipeline::isDead() const {
    std::lock_guard g(lock_);
    return dead_;
}

std::int64_t VideoPipeline::currentBitrate() const {
    std::lock_guard g(lock_);
    return currentBitrate_;
}

std::int64_t VideoPipeline::targetBitrate() const {
    std::lock_guard g(lock_);
    return targetBitrate_;
}

int VideoPipeline::fps() const {
    std::lock_guard g(lock_);
    return fps_;
}

bool VideoPipeline::hdr() const {
    std::lock_guard g(lock_);
    return hdr_;
}

void VideoPipeline::handleFrame(const std::shared_ptr<FrameBuffer>& frame, MediaTime pts) {
    Targets targets;
    {
        std::lock_guard g(lock_);
        if (stopped_) return;
        lastFrame_ = frame;
        lastPts_ = pts;
        ++stats_.captured;
        targets = targets_;
    }
    bool keyframeWanted = false;
    for (const auto& target : targets) {
        if (target->isBacklogged()) {
            // Encoding now would only queue frames behind the slow target: skip this one.
            std::lock_guard g(lock_);
            ++stats_.skipped;
            return;
        }
        keyframeWanted = keyframeWanted || target->needsKeyframe();
    }
    if (keyframeWanted) encoder_->requestKeyframe();
    encoder_->encode(*frame, pts);
}

void VideoPipeline::handleEncoded(const VideoPacket& packet) {
    std::optional<Bytes> bytes = packet.serialize();
    if (!bytes) {
        logger().error("encoded frame dropped: its parameter sets do not fit a packet");
        encoder_->requestKeyframe();
        return;
    }
    EncodedHook hook;
    Targets targets;
    std::optional<std::int64_t> newRate;
    {
        std::lock_guard g(lock_);
        if (stopped_) return;
        hook = onEncoded_;
    }
    if (hook) hook(packet, *bytes);
    {
        std::lock_guard g(lock_);
        newRate = flushStats(packet, bytes->size());
        targets = targets_;
    }
    if (newRate) {
        // The same session goes on at the new rate where the encoder allows it.
        onCapture([rate = *newRate](VideoPipeline& self) { self.encoder_->setBitrate(rate); });
    }
    bool refused = false;
    for (const auto& target : targets) refused = !target->sendVideo(packet, *bytes) || refused;
    if (refused) encoder_->requestKeyframe();
}

std::optional<std::int64_t> VideoPipeline::flushStats(const VideoPacket& packet, std::size_t size) {
    ++stats_.encoded;
    stats_.bytes += static_cast<std::int64_t>(size);
    if (packet.isKeyframe) ++stats_.keyframes;
    const MonoTime now = parts_.clock->monoNow();
    const double elapsed = std::chrono::duration<double>(now - statsStart_).count();
    if (elapsed < std::chrono::duration<double>(statsWindow).count()) return std::nullopt;

    const double ratio = stats_.captured > 0 ? static_cast<double>(stats_.skipped) /
                                                   static_cast<double>(stats_.captured)
                                             : 0.0;
    // The logged percentage in integers: 29 of 100 is 29 %, not the 28 that 0.29 * 100 gives.
    const std::int64_t percent = stats_.captured > 0 ? stats_.skipped * 100 / stats_.captured : 0;
    std::optional<std::int64_t> newRate = adaptBitrate(ratio, percent);
    auto perSecond = [elapsed](std::int64_t n) {
        return static_cast<long>(static_cast<double>(n) / elapsed);
    };
    logger().debug("video {} captured/s, {} skipped/s, {} sent/s, {} kbit/s, {} keyframes",
                   perSecond(stats_.captured), perSecond(stats_.skipped), perSecond(stats_.encoded),
                   static_cast<long>(static_cast<double>(stats_.bytes) * 8 / elapsed / 1000),
                   stats_.keyframes);
    stats_ = {};
    statsStart_ = now;
    return newRate;
}

std::optional<std::int64_t> VideoPipeline::adaptBitrate(double ratio, std::int64_t skipPercent) {
    std::int64_t next = currentBitrate_;
    if (ratio > 0.1) {
        // In integers: 12,000,000 * 0.7 in doubles truncates to 8,399,999.
        next = std::max(currentBitrate_ / 10 * 7 + currentBitrate_ % 10 * 7 / 10, floorBitrate);
        cleanWindows_ = 0;
    } else if (ratio == 0) {
        ++cleanWindows_;
        if (cleanWindows_ < 3) return std::nullopt;
        next = std::min(targetBitrate_,
                        currentBitrate_ / 100 * 115 + currentBitrate_ % 100 * 115 / 100);
    }
    if (next == currentBitrate_) return std::nullopt;
    currentBitrate_ = next;
    logger().notice("adaptive bitrate → {} kbit/s (skip {}%)", next / 1000, skipPercent);
    return next;
}

void VideoPipeline::handleAudio(const PcmBuffer& pcm) {
    if (!audioEncoder_) return;
    // Only the encoder's own layout is taken; anything else is dropped, not converted.
    if (pcm.format != audioEncoder_->pcmFormat()) return;
    std::vector<Bytes> packets = audioEncoder_->encode(pcm);
    if (packets.empty()) return;
    Targets targets;
    {
        std::lock_guard g(lock_);
        if (stopped_) return;
        targets = targets_;
    }
    for (const Bytes& packet : packets)
        for (const auto& target : targets)
            // Sound has no completion to wait for; a target whose video backs up would only
            // pile it up in its connection.
            if (!target->isBacklogged()) target->sendAudio(packet);
}

}  // namespace orvane
