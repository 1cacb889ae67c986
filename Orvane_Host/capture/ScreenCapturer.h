#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>

#include "OrvaneKit/base/Errors.h"
#include "OrvaneKit/base/NetContext.h"
#include "OrvaneKit/media/FrameBuffer.h"
#include "OrvaneKit/media/MediaTime.h"
#include "Orvane_Host/capture/ScreenSource.h"
#include "Orvane_Host/capture/SystemAudioSource.h"

namespace orvane {

// Window numbers that every capture started afterwards leaves out. Written only by the privacy
// curtain, read only when a capture starts; hold the lock for either.
std::mutex& excludedWindowLock();
std::set<uint32_t>& excludedWindowIDs();

// Captures one display, scaled to at most a maximum width and paced to at most `fps`, as 4:2:0
// frames ready for the encoder. Only complete, changed frames reach `onFrame`: a still screen
// delivers nothing after the first frame of a stream.
class ScreenCapturer {
public:
    using FrameHandler = std::function<void(const std::shared_ptr<FrameBuffer>&, MediaTime)>;
    using StopHandler = std::function<void(std::optional<PlatformError>)>;
    using AudioHandler = std::function<void(PcmBuffer)>;

    struct Size {
        int width = 0;
        int height = 0;
        bool operator==(const Size&) const = default;
    };

    explicit ScreenCapturer(std::shared_ptr<ScreenSource> source,
                            NetContext& net = NetContext::shared());
    ~ScreenCapturer();
    ScreenCapturer(const ScreenCapturer&) = delete;
    ScreenCapturer& operator=(const ScreenCapturer&) = delete;

    // Set before start; cleared (set empty) only after stop.
    void setOnFrame(FrameHandler handler);  // called on queue()
    void setOnStop(StopHandler handler);    // called on queue(), when the platform ends the stream
    void setOnAudio(AudioHandler handler);  // called on audioQueue()
    // Where system sound comes from when a capture asks for it; without one such a start fails.
    void setAudioSource(std::shared_ptr<SystemAudioSource> source);

    // "orvane.capture": frames arrive here; the owning pipeline also encodes on it.
    NetContext::Strand& queue() { return queue_; }
    // "orvane.capture.audio": where system sound is delivered.
    NetContext::Strand& audioQueue() { return audioQueue_; }

    // Stops any running stream, then captures `display`. Returns once the stream runs; throws
    // PlatformError otherwise and stays stopped. On a platform without HDR capture `hdr` gives
    // an SDR stream.
    void start(const CaptureDisplay& display, int maxWidth, int fps, bool audio, bool hdr);

    // Stops the running stream, if any, and waits until it delivers nothing more. Frames already
    // queued are dropped. Never throws; a failure to stop is ignored.
    void stop() noexcept;

    // The 8-bit 4:2:0 layout to deliver (I420 suits HEVC, NV12 H.264); applies from the next
    // frame of a running stream.
    void setPixelFormat(PixelFormat format);

    bool isRunning() const;

    // Pixel size of a capture: the display's size in pixels (truncated), scaled down to
    // `maxWidth` keeping the aspect (integer arithmetic), then both made even.
    static Size captureSize(double widthPoints, double heightPoints, double scale, int maxWidth);

private:
    struct Core;

    std::shared_ptr<ScreenSource> source_;
    NetContext::Strand queue_;
    NetContext::Strand audioQueue_;
    std::shared_ptr<Core> core_;
};

}  // namespace orvane
