#pragma once

#include <asio/awaitable.hpp>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "OrvaneKit/media/AudioStreamFormat.h"
#include "OrvaneKit/media/VideoCodec.h"

namespace orvane {

class FrameBuffer;
class RemoteClient;

// The per-display capture pipelines, as the session core drives them. Main actor only.
class IDisplayStreams {
public:
    using Clients = std::vector<std::shared_ptr<RemoteClient>>;
    virtual ~IDisplayStreams() = default;

    // Gives every running pipeline the clients watching its display.
    virtual void assignTargets(const Clients& clients) = 0;
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
    // Throws when capture cannot start.
    virtual asio::awaitable<void> start(std::set<std::uint32_t> displays, Clients clients,
                                        int maxWidth, bool captureSound, bool restart) = 0;
    virtual asio::awaitable<void> stop() = 0;
};

}  // namespace orvane
