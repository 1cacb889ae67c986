#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "OrvaneKit/base/Bytes.h"
#include "OrvaneKit/media/VideoCodec.h"
#include "OrvaneKit/media/VideoPacket.h"

namespace orvane {

// One display's running capture and encode, as the browser server drives it.
class BrowserVideoStream {
public:
    virtual ~BrowserVideoStream() = default;
    // The next encoded frame is a keyframe; any thread.
    virtual void requestKeyframe() = 0;
    // Re-encodes the last captured frame as a keyframe now (a still screen delivers nothing).
    virtual void sendKeyframeNow() = 0;
    // Stops capture and encoding and blocks until nothing more is delivered; never call it from
    // the thread that delivers encoded frames.
    virtual void stop() = 0;
};

// Where the browser server's own encoded video comes from: a capture pipeline with no viewer
// targets, whose every frame is handed to `onEncoded`.
class BrowserVideoSource {
public:
    struct Settings {
        std::int64_t bitrate = 8'000'000;
        int fps = 60;
        int maxWidth = 2304;
        VideoCodec codec = VideoCodec::h264;
        bool hdr = false;
        bool sound = false;
    };
    // Runs where the encoder delivers frames, with the packet and its serialised bytes.
    using EncodedHandler = std::function<void(const VideoPacket&, const Bytes&)>;
    // The capture stopped by itself (the platform ended it), with the reason when known.
    using StopHandler = std::function<void(std::optional<std::string> error)>;

    virtual ~BrowserVideoSource() = default;
    // Starts capturing and encoding `displayID` and blocks until it runs; throws (with a
    // description) when it cannot.
    virtual std::shared_ptr<BrowserVideoStream> start(std::uint32_t displayID,
                                                      const Settings& settings,
                                                      EncodedHandler onEncoded,
                                                      StopHandler onStop) = 0;
};

// Until the host has capture: every start fails with a plain reason.
class NoBrowserVideo final : public BrowserVideoSource {
public:
    std::shared_ptr<BrowserVideoStream> start(std::uint32_t, const Settings&, EncodedHandler,
                                              StopHandler) override;
};

}  // namespace orvane
