#pragma once

#include <cstdint>

#include "OrvaneKit/base/Bytes.h"

namespace orvane {

struct VideoPacket;

// One receiver of a display's stream (a viewer's connection), as the pipeline sees it. Called
// from the capture queue; implementations guard their own state.
class VideoTarget {
public:
    virtual ~VideoTarget() = default;

    // The display this target watches; read when targets are assigned.
    virtual std::uint32_t displayID() const = 0;
    // True while this target takes video and its window of frames in flight is full.
    virtual bool isBacklogged() const = 0;
    // True while this target takes video and can only start again from a keyframe (just
    // admitted, or it refused a frame). A target that takes no video answers false.
    virtual bool needsKeyframe() const = 0;
    // Offers one encoded frame; false when the target dropped it (the pipeline then asks for a
    // keyframe), true when it was sent or the target takes no video.
    virtual bool sendVideo(const VideoPacket& packet, const Bytes& serialized) = 0;
    // Sends one AAC-ELD packet without waiting for it, if this target takes sound at all. The
    // pipeline does not offer sound to a backlogged target.
    virtual void sendAudio(const Bytes& packet) = 0;
};

}  // namespace orvane
