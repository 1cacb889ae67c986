#include "OrvaneKit/media/VideoEncoder.h"

#include <iterator>

#include "OrvaneKit/base/Logger.h"

namespace orvane {

namespace {
const Logger& log() {
    static const Logger logger{"com.nimbrel.kelsap", "video"};
    return logger;
}
}  // namespace

VideoEncoder::VideoEncoder(int64_t bitrate, int fps, std::shared_ptr<VideoEncoderBackend> backend)
    : backend_(std::move(backend)), bitrate_(bitrate), fps_(fps) {}

VideoEncoder::~VideoEncoder() {
    invalidate();
}

int64_t VideoEncoder::effectiveBitrate(int64_t bitrate, bool hdrCoding) {
    // 1.4 times, truncated toward zero, in integers so 12,000,000 gives exactly 16,800,000.
    return hdrCoding ? bitrate / 10 * 14 + bitrate % 10 * 14 / 10 : bitrate;
}

int64_t VideoEncoder::bitrate() const {
    std::lock_guard g(lock_);
    return bitrate_;
}
int VideoEncoder::fps() const {
    std::lock_guard g(lock_);
    return fps_;
}
VideoCodec VideoEncoder::codec() const {
    std::lock_guard g(lock_);
    return codec_;
}
bool VideoEncoder::hdr() const {
    std::lock_guard g(lock_);
    return hdr_;
}
bool VideoEncoder::hdrCoding() const {
    std::lock_guard g(lock_);
    return hdr_ && codec_ == VideoCodec::hevc;
}

void VideoEncoder::encode(const FrameBuffer& frame, MediaTime pts) {
    const int width = frame.width();
    const int height = frame.height();
    if (width <= 0 || height <= 0 || width % 2 != 0 || height % 2 != 0) {
        // 4:2:0 coding needs even sizes; log once per size, not once per frame.
        if (rejectedSize_ != std::pair{width, height}) {
            rejectedSize_ = {width, height};
            log().error("frame of {}x{} dropped: width and height must be even", width, height);
        }
        return;
    }
    if (!session_ || sessionWidth_ != width || sessionHeight_ != height ||
        sessionFormat_ != frame.format()) {
        makeSession(width, height, frame.format());
        if (!session_) return;
    }

    const uint64_t micros = pts.toMicros();
    const auto ptsMicros = static_cast<int64_t>(std::min<uint64_t>(micros, INT64_MAX));
    bool force;
    {
        std::lock_guard g(lock_);
        force = forceKeyframe_;
        forceKeyframe_ = false;
    }
    // The interval is a duration: on an idle screen frames are sparse and a frame count would
    // stretch it without bound.
    if (lastKeyframeMicros_ && ptsMicros < *lastKeyframeMicros_) {
        lastKeyframeMicros_ = ptsMicros;  // the clock went back (a new capture): count from here
    }
    if (lastKeyframeMicros_ && ptsMicros - *lastKeyframeMicros_ >= maxKeyframeIntervalMicros) {
        force = true;
    }
    if (force && rateStale_) {
        // A keyframe is due anyway: take the chance to move to the rate set since.
        makeSession(width, height, frame.format());
        std::lock_guard g(lock_);
        if (!session_) return;  // forceKeyframe_ stays set for the retry
        forceKeyframe_ = false;
    }

    // The library sees strictly increasing times even when a frame is encoded again with its
    // capture time (a keyframe for a new viewer); the capture time goes back onto the packet.
    const int64_t fed =
        lastFedMicros_ && ptsMicros <= *lastFedMicros_ ? *lastFedMicros_ + 1 : ptsMicros;
    lastFedMicros_ = fed;
    captureTimes_[fed] = ptsMicros;

    // Local: onPacket may call back into the encoder (setBitrate, even a new session).
    std::vector<EncodedFrame> out;
    std::string error;
    if (!session_->encode(frame, fed, force, out, error)) {
        captureTimes_.erase(fed);
        log().error("encode failed: {}", error);
        // The frame is lost; the next one must decode on its own.
        std::lock_guard g(lock_);
        forceKeyframe_ = true;
        return;
    }
    deliver(out);
}

void VideoEncoder::deliver(std::vector<EncodedFrame>& frames) {
    for (auto& f : frames) {
        if (auto it = captureTimes_.find(f.ptsMicros); it != captureTimes_.end()) {
            f.ptsMicros = it->second;
            captureTimes_.erase(captureTimes_.begin(), std::next(it));
        }
        if (f.keyframe) lastKeyframeMicros_ = f.ptsMicros;
        if (f.avcc.empty()) continue;
        VideoPacket packet;
        packet.isKeyframe = f.keyframe;
        packet.codec = sessionCodec_;
        packet.timestampMicros = f.ptsMicros < 0 ? 0 : static_cast<uint64_t>(f.ptsMicros);
        if (f.keyframe) packet.parameterSets = std::move(f.parameterSets);
        packet.avcc = std::move(f.avcc);
        if (onPacket) onPacket(std::move(packet));
    }
}

void VideoEncoder::requestKeyframe() {
    std::lock_guard g(lock_);
    forceKeyframe_ = true;
}

void VideoEncoder::setBitrate(int64_t bitrate) {
    int64_t effective;
    {
        std::lock_guard g(lock_);
        bitrate_ = bitrate;
        effective = effectiveBitrate(bitrate, hdr_ && codec_ == VideoCodec::hevc);
    }
    if (!session_) return;
    if (effective == sessionBitrate_) {
        rateStale_ = false;
        return;
    }
    if (session_->setBitrate(effective)) {
        sessionBitrate_ = effective;
        rateStale_ = false;
        return;
    }
    // This session cannot change its rate in place; a new one costs a keyframe. A lower rate is
    // needed now (the link is congested); a higher one waits for the next keyframe anyway due.
    if (effective < sessionBitrate_) {
        log().notice("bitrate change to {} needs a new session", effective);
        invalidate();
    } else {
        rateStale_ = true;
    }
}

void VideoEncoder::configure(int64_t bitrate, int fps, std::optional<VideoCodec> codec,
                             std::optional<bool> hdr) {
    {
        std::lock_guard g(lock_);
        bitrate_ = bitrate;
        fps_ = fps;
        if (codec) codec_ = *codec;
        if (hdr) hdr_ = *hdr;
    }
    invalidate();
}

void VideoEncoder::invalidate() {
    if (session_) {
        std::vector<EncodedFrame> out;
        session_->flush(out);
        auto finished = std::move(session_);
        deliver(out);
    }
    captureTimes_.clear();
    sessionWidth_ = sessionHeight_ = 0;
    lastKeyframeMicros_.reset();
    std::lock_guard g(lock_);
    forceKeyframe_ = true;
}

void VideoEncoder::makeSession(int width, int height, PixelFormat format) {
    invalidate();
    EncoderSessionConfig config;
    {
        std::lock_guard g(lock_);
        config.codec = codec_;
        config.hdr = hdr_ && codec_ == VideoCodec::hevc;
        config.bitrate = effectiveBitrate(bitrate_, config.hdr);
        config.fps = fps_;
    }
    config.width = width;
    config.height = height;
    config.inputFormat = format;
    std::string error;
    auto session = backend_->open(config, error);
    if (!session) {
        log().error("encoder open failed: {}", error);
        return;
    }
    session_ = std::move(session);
    sessionBitrate_ = config.bitrate;
    rateStale_ = false;
    rejectedSize_ = {0, 0};
    sessionWidth_ = width;
    sessionHeight_ = height;
    sessionFormat_ = format;
    sessionCodec_ = config.codec;
}

}  // namespace orvane
