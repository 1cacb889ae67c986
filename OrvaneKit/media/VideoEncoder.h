#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "OrvaneKit/media/FrameBuffer.h"
#include "OrvaneKit/media/MediaTime.h"
#include "OrvaneKit/media/VideoCodec.h"
#include "OrvaneKit/media/VideoEncoderBackend.h"
#include "OrvaneKit/media/VideoPacket.h"

namespace orvane {

// Turns captured frames into VideoPackets with a real-time, no-reordering session: a keyframe on
// the first frame of every session, on request and at least every 10 s of presentation time;
// bitrate changes in place; a new session on configure or a change of frame size.
//
// encode, configure, setBitrate and invalidate come from one serial queue; requestKeyframe from
// any thread. onPacket runs on the thread that called encode (or invalidate, for flushed output)
// and may call setBitrate, requestKeyframe or invalidate itself.
class VideoEncoder {
public:
    using PacketHandler = std::function<void(VideoPacket)>;

    static constexpr int64_t maxKeyframeIntervalMicros = 10'000'000;

    // The backend is chosen by the caller (the library encoders in the app, a fake in tests).
    VideoEncoder(int64_t bitrate, int fps, std::shared_ptr<VideoEncoderBackend> backend);
    ~VideoEncoder();

    VideoEncoder(const VideoEncoder&) = delete;
    VideoEncoder& operator=(const VideoEncoder&) = delete;

    // Set once before encoding.
    PacketHandler onPacket;

    void encode(const FrameBuffer& frame, MediaTime pts);
    void requestKeyframe();
    void setBitrate(int64_t bitrate);
    void configure(int64_t bitrate, int fps, std::optional<VideoCodec> codec = std::nullopt,
                   std::optional<bool> hdr = std::nullopt);
    void invalidate();

    int64_t bitrate() const;
    int fps() const;
    VideoCodec codec() const;
    bool hdr() const;
    // HDR coding is in force only with HEVC; the session then gets 1.4 times the nominal bitrate.
    bool hdrCoding() const;
    bool hasSession() const { return session_ != nullptr; }

private:
    static int64_t effectiveBitrate(int64_t bitrate, bool hdrCoding);
    void makeSession(int width, int height, PixelFormat format);
    void deliver(std::vector<EncodedFrame>& frames);

    std::shared_ptr<VideoEncoderBackend> backend_;
    // Touched only on the encoding queue.
    std::unique_ptr<EncoderSession> session_;
    int sessionWidth_ = 0;
    int sessionHeight_ = 0;
    PixelFormat sessionFormat_ = PixelFormat::nv12;
    VideoCodec sessionCodec_ = VideoCodec::h264;
    int64_t sessionBitrate_ = 0;
    bool rateStale_ = false;  // the session runs at an older rate it could not change in place
    std::optional<int64_t> lastKeyframeMicros_;
    std::optional<int64_t> lastFedMicros_;
    std::map<int64_t, int64_t> captureTimes_;  // time given to the session -> capture time
    std::pair<int, int> rejectedSize_{0, 0};

    mutable std::mutex lock_;
    bool forceKeyframe_ = true;
    int64_t bitrate_;
    int fps_;
    VideoCodec codec_ = VideoCodec::h264;
    bool hdr_ = false;
};

}  // namespace orvane
