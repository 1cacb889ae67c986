#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "OrvaneKit/base/Clock.h"
#include "OrvaneKit/base/Errors.h"
#include "OrvaneKit/base/NetContext.h"
#include "OrvaneKit/media/AudioEncoder.h"
#include "OrvaneKit/media/AudioStreamFormat.h"
#include "OrvaneKit/media/VideoCodec.h"
#include "OrvaneKit/media/VideoEncoderBackend.h"
#include "OrvaneKit/media/VideoPacket.h"
#include "Orvane_Host/capture/ScreenCapturer.h"
#include "Orvane_Host/capture/VideoTarget.h"

namespace orvane {

class VideoEncoder;

// One display's chain: capture, encode, serialise once, and hand each frame to the display's
// targets under their flow control. Skips captured frames while any target is backlogged, asks
// for a keyframe when a target refused one, keeps two-second statistics that steer the bitrate,
// and sends the captured sound, encoded, to its targets.
//
// Frames, encoding and every encoder change run on the capturer's queue; sound on its audio
// queue; the rest is callable from any thread.
class VideoPipeline : public std::enable_shared_from_this<VideoPipeline> {
public:
    static constexpr std::int64_t initialBitrate = 12'000'000;
    static constexpr std::int64_t floorBitrate = 1'500'000;
    static constexpr auto statsWindow = std::chrono::seconds(2);
    static constexpr double audioSampleRate = 48'000;
    static constexpr int audioChannels = 2;
    static constexpr int audioBitrate = 128'000;

    using StopHandler = std::function<void(std::optional<PlatformError>)>;
    using EncodedHook = std::function<void(const VideoPacket&, const Bytes&)>;
    using Targets = std::vector<std::shared_ptr<VideoTarget>>;

    // What the pipeline is built from; the composition root or a test chooses each part.
    struct Parts {
        std::shared_ptr<ScreenSource> screens;
        std::shared_ptr<VideoEncoderBackend> encoders;
        std::shared_ptr<SystemAudioSource> sound;  // null: no sound can be captured
        const Clock* clock = &SystemClock::shared();
        NetContext* net = &NetContext::shared();
        // Null when the platform cannot encode sound.
        std::function<std::unique_ptr<AudioEncoder>()> makeAudioEncoder = defaultAudioEncoder;
    };

    struct Stats {
        std::int64_t captured = 0, skipped = 0, encoded = 0, bytes = 0, keyframes = 0;
    };

    static std::unique_ptr<AudioEncoder> defaultAudioEncoder();

    // `bitrate` is the encoder's first nominal rate; the adaptation starts from
    // `initialBitrate` until the owner sets one.
    static std::shared_ptr<VideoPipeline> make(Parts parts, std::int64_t bitrate);
    ~VideoPipeline();
    VideoPipeline(const VideoPipeline&) = delete;
    VideoPipeline& operator=(const VideoPipeline&) = delete;

    // Set by the owner before the capture starts.
    void setOnStop(StopHandler handler);
    void setOnEncoded(EncodedHook hook);
    void setTargets(Targets targets);
    Targets targets() const;

    // Both bitrates become `bitrate`; the encoder starts a new session at it (a keyframe).
    void setTargetBitrate(std::int64_t bitrate, int fps);
    // The encoder starts a new session at `bitrate` and `fps`, codec and HDR unchanged.
    void applyBitrate(std::int64_t bitrate, int fps);
    // A new session with `codec` and `hdr` and a keyframe at once; nothing when both match.
    void setCodec(VideoCodec codec, std::int64_t bitrate, bool hdr);
    // The frame rate and HDR flag of the next capture start.
    void setCaptureSettings(int fps, bool hdr);
    // The next encoded frame is a keyframe.
    void requestKeyframe();
    // Re-encodes the last captured frame as a keyframe; nothing before the first frame.
    void sendKeyframeNow();

    // Starts capturing `display`; sound only when asked, a sound source exists and sound can be
    // encoded. Blocks until the capture runs; throws PlatformError otherwise.
    void start(const CaptureDisplay& display, int maxWidth, bool sound);
    // Stops capture and encoding and drops targets and the last frame; blocks until nothing
    // more is delivered. Never call it from the capture queue.
    void stop();

    // Whether captured sound can be encoded (and so whether sound is worth asking for).
    bool canEncodeSound() const;
    std::optional<AudioStreamFormat> audioFormat() const;
    std::shared_ptr<const FrameBuffer> lastFrame() const;
    // The platform ended the capture by itself.
    bool isDead() const;
    std::int64_t currentBitrate() const;
    std::int64_t targetBitrate() const;
    int fps() const;
    bool hdr() const;

    // The capturer's queue: posting to it and waiting drains what was queued before.
    NetContext::Strand& queue();

private:
    explicit VideoPipeline(Parts parts, std::int64_t bitrate);
    void wire();
    void handleFrame(const std::shared_ptr<FrameBuffer>& frame, MediaTime pts);
    void handleEncoded(const VideoPacket& packet);
    void handleAudio(const PcmBuffer& pcm);
    // Under lock_; returns the new rate to apply, if any.
    std::optional<std::int64_t> flushStats(const VideoPacket& packet, std::size_t size);
    std::optional<std::int64_t> adaptBitrate(double ratio, std::int64_t skipPercent);
    void applyCodec(VideoCodec codec, bool hdr, std::int64_t bitrate);
    void encodeLastFrameAsKeyframe();
    void onCapture(std::function<void(VideoPipeline&)> job);

    Parts parts_;
    std::unique_ptr<ScreenCapturer> capturer_;
    std::unique_ptr<VideoEncoder> encoder_;
    std::unique_ptr<AudioEncoder> audioEncoder_;  // touched only on the audio queue
    std::optional<AudioStreamFormat> audioFormat_;

    mutable std::mutex lock_;
    StopHandler onStop_;
    EncodedHook onEncoded_;
    Targets targets_;
    std::shared_ptr<FrameBuffer> lastFrame_;
    MediaTime lastPts_;
    Stats stats_;
    std::int64_t targetBitrate_ = initialBitrate;
    std::int64_t currentBitrate_ = initialBitrate;
    int cleanWindows_ = 0;
    int fps_ = 60;
    bool hdr_ = false;
    MonoTime statsStart_;
    bool stopped_ = false;
    bool dead_ = false;
};

}  // namespace orvane
