#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "Orvane_Host/capture/ScreenSource.h"

namespace orvane {

// In-memory capture platform: tests list displays, then push frames and stops into the streams
// that a capturer started.
class FakeScreenSource : public ScreenSource {
public:
    struct StreamRecord {
        CaptureDisplay display;
        StreamConfig config;
        StreamSink sink;
        bool stopped = false;
        PixelFormat format = PixelFormat::nv12;
    };

    explicit FakeScreenSource(std::vector<CaptureDisplay> displays = {})
        : displays_(std::move(displays)) {}

    std::vector<CaptureDisplay> displays() override;
    std::unique_ptr<ScreenStream> startStream(const CaptureDisplay& display,
                                              const StreamConfig& config, StreamSink sink) override;
    bool canExcludeWindows() const override { return excludes_; }

    void setDisplays(std::vector<CaptureDisplay> displays);
    void setCanExcludeWindows(bool value) { excludes_ = value; }
    // The next startStream throws this.
    void failNextStart(PlatformError error);
    // Every startStream of `displayID` throws this until cleared (none).
    void failDisplay(uint32_t displayID, std::optional<PlatformError> error);

    // Delivers through the sink of stream `index` (default: the latest), as the platform would,
    // even when that stream was stopped meanwhile: the race a real platform can produce.
    void pushFrame(int width, int height, MediaTime pts, FrameStatus status = FrameStatus::complete,
                   int index = -1);
    // Delivers the given picture as a complete frame.
    void pushBuffer(std::shared_ptr<FrameBuffer> buffer, MediaTime pts, int index = -1);
    void stopWithError(PlatformError error, int index = -1);

    size_t streamCount() const;
    StreamRecord stream(int index = -1) const;
    size_t runningCount() const;

private:
    class Stream;
    mutable std::mutex mutex_;
    std::vector<CaptureDisplay> displays_;
    bool excludes_ = false;
    std::optional<PlatformError> failNext_;
    std::map<uint32_t, PlatformError> failing_;
    std::vector<std::shared_ptr<StreamRecord>> streams_;

    std::shared_ptr<StreamRecord> record(int index) const;
};

}  // namespace orvane
