#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "OrvaneKit/base/Errors.h"
#include "OrvaneKit/media/FrameBuffer.h"
#include "OrvaneKit/media/MediaTime.h"

namespace orvane {

// One display as the capture platform describes it. Points are the display's logical units;
// `scale` pixels make one point (always 1 on X11).
struct CaptureDisplay {
    uint32_t id = 0;
    std::string name;
    double x = 0, y = 0;  // top-left in the desktop, in points
    double width = 0, height = 0;
    double scale = 1;
    bool primary = false;

    bool operator==(const CaptureDisplay&) const = default;
};

// What a started stream is asked to deliver.
struct StreamConfig {
    int width = 0;  // output pixels, even
    int height = 0;
    int fps = 60;  // at most this many frames per second
    PixelFormat format = PixelFormat::nv12;
    bool hdr = false;
    bool showsCursor = true;
    int queueDepth = 5;  // frames held by the stream and its consumers at most
    std::set<uint32_t> excludedWindows;
};

// The platform's judgement of a delivered picture. Only `complete` frames carry new content.
enum class FrameStatus { complete, idle, blank, suspended, started, stopped };

struct CapturedFrame {
    FrameStatus status = FrameStatus::complete;
    std::shared_ptr<FrameBuffer> buffer;  // may be null for statuses other than complete
    MediaTime pts;
};

// Where a running stream delivers. Both are called on the stream's own thread; `onStop` at most
// once, after which nothing more arrives.
struct StreamSink {
    std::function<void(CapturedFrame)> onFrame;
    std::function<void(PlatformError)> onStop;
};

// A running capture of one display.
class ScreenStream {
public:
    virtual ~ScreenStream() = default;
    // Waits until the stream delivers nothing more. Never throws; safe to call twice.
    virtual void stop() = 0;
    // The 4:2:0 layout of the following frames (the encoder's preferred input may change while
    // the capture runs). HDR streams ignore it.
    virtual void setPixelFormat(PixelFormat format) = 0;
};

// The platform's screen capture: the stand-in for the system capture service.
class ScreenSource {
public:
    virtual ~ScreenSource() = default;

    // The connected displays; throws PlatformError when the platform cannot be reached.
    virtual std::vector<CaptureDisplay> displays() = 0;

    // Starts capturing `display`; returns once frames can flow. Throws PlatformError.
    virtual std::unique_ptr<ScreenStream> startStream(const CaptureDisplay& display,
                                                      const StreamConfig& config,
                                                      StreamSink sink) = 0;

    // Whether StreamConfig::excludedWindows is honoured. A source that cannot leave windows out
    // still captures; the privacy curtain asks first and refuses to go up.
    virtual bool canExcludeWindows() const = 0;

    // The main display: the primary one, else the first; none without displays.
    std::optional<CaptureDisplay> mainDisplay();
};

}  // namespace orvane
