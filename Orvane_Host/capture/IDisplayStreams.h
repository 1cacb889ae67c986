#pragma once

#include <asio/awaitable.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "OrvaneKit/media/AudioStreamFormat.h"
#include "OrvaneKit/media/VideoCodec.h"
#include "Orvane_Host/capture/VideoTarget.h"

namespace orvane {

class FrameBuffer;

// The per-display capture pipelines, as the session core drives them. Main actor only.
class IDisplayStreams {
public:
    using Targets = std::vector<std::shared_ptr<VideoTarget>>;
    // A capture the platform ended by itself, with its error text.
    using StopHandler = std::function<void(std::optional<std::string> error)>;
    virtual ~IDisplayStreams() = default;

    // Called on the main actor whenever a running capture ends by itself.
    virtual void setOnStop(StopHandler handler) = 0;
    // Gives every running pipeline the targets watching its display, in the given order.
    virtual void assignTargets(const Targets& targets) = 0;
    virtual void setBitrate(std::int64_t bitsPerSecond, int framesPerSecond) = 0;
    // Applies codec and HDR to running pipelines in place.
    virtual void setCodec(VideoCodec codec, bool hdr) = 0;
    // Stores codec and HDR for pipelines started later, touching no running one.
    virtual void storeCodec(VideoCodec codec, bool hdr) = 0;
    virtual bool hasPipelines() const = 0;
    virtual bool hasPipeline(std::uint32_t displayID) const = 0;
    // The display's encoder makes its next frame a keyframe.
    virtual void requestKeyframe(std::uint32_t displayID) = 0;
    // Re-encodes the display's last frame as a keyframe now, for a viewer that just arrived.
    virtual void sendKeyframeNow(std::uint32_t displayID) = 0;
    // The display's last captured frame; none before the first.
    virtual std::shared_ptr<const FrameBuffer> lastFrame(std::uint32_t displayID) const = 0;
    virtual std::optional<AudioStreamFormat> audioFormat() const = 0;
    // Why sound asked for could not be captured (the pictures stream without it); none while
    // sound works or was not asked for. Cleared by a rebuild, which tries sound again.
    virtual std::optional<std::string> soundProblem() const = 0;
    // Starts a pipeline per requested display not yet streamed (all of them when `restart`) and
    // stops the others; calls never overlap. Throws when capture cannot start.
    virtual asio::awaitable<void> start(std::set<std::uint32_t> displays, Targets targets,
                                        int maxWidth, bool captureSound, bool restart) = 0;
    virtual asio::awaitable<void> stop() = 0;
};

}  // namespace orvane
