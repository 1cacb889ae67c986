#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>

#include "OrvaneKit/base/Bytes.h"
#include "OrvaneKit/media/VideoDepacketizer.h"

struct AVCodecContext;
struct AVPacket;
struct AVFrame;
struct SwsContext;

namespace orvane {

// A decoded picture, 32-bit BGRA in memory order (Qt's RGB32 on little-endian).
struct DecodedPicture {
    int width = 0;
    int height = 0;
    int stride = 0;
    Bytes pixels;
};

// Decodes a peer's video stream with libavcodec, without reordering delay. `receive` runs on
// the sender's connection queue; callbacks run there too.
class VideoReceiver {
public:
    VideoReceiver();
    ~VideoReceiver();
    VideoReceiver(const VideoReceiver&) = delete;
    VideoReceiver& operator=(const VideoReceiver&) = delete;

    std::function<void(double width, double height)> onSizeChange;
    std::function<void()> onNeedKeyframe;
    std::function<void(const CompressedSample&)> onSample;
    // The latest picture; without it frames are decoded but not converted.
    std::function<void(const DecodedPicture&)> onPicture;

    // One message body. Bodies that are not packets are dropped without a keyframe request.
    void receive(ByteView body);
    int takeFrameCount();
    // Stops the keyframe and sample callbacks and forgets decoder state.
    void flush();

    const VideoDepacketizer& depacketizer() const { return depacketizer_; }

private:
    bool decode(const CompressedSample& sample);
    bool openDecoder(VideoCodec codec);
    void closeDecoder();
    void deliver();

    VideoDepacketizer depacketizer_;
    std::optional<VideoSize> lastSize_;
    std::optional<VideoCodec> openCodec_;
    bool awaitingSync_ = true;
    AVCodecContext* context_ = nullptr;
    AVPacket* packet_ = nullptr;
    AVFrame* frame_ = nullptr;
    SwsContext* sws_ = nullptr;
    std::mutex lock_;
    int frames_ = 0;
};

}  // namespace orvane
