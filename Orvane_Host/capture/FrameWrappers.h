#pragma once

#include <memory>

#include "Orvane_Host/capture/CursorSource.h"
#include "Orvane_Host/capture/ScreenSource.h"

namespace orvane {

// Draws the pointer into the frames of any screen source, for captures that ask to show it:
// into each frame the source delivers, and into a fresh copy of the last one whenever the
// pointer moves or changes over the display (paced like the stream), so a still screen with a
// moving pointer still shows the pointer move. The wrapped source is asked for frames without
// the pointer.
class CursorOverlaySource final : public ScreenSource {
public:
    CursorOverlaySource(std::shared_ptr<ScreenSource> inner, std::shared_ptr<CursorSource> cursor);

    std::vector<CaptureDisplay> displays() override { return inner_->displays(); }
    std::unique_ptr<ScreenStream> startStream(const CaptureDisplay& display,
                                              const StreamConfig& config, StreamSink sink) override;
    bool canExcludeWindows() const override { return inner_->canExcludeWindows(); }

private:
    std::shared_ptr<ScreenSource> inner_;
    std::shared_ptr<CursorSource> cursor_;
};

// Passes on only frames whose picture differs from the last one passed on, for sources that
// cannot tell by themselves (an X server without damage reports delivers every grab).
class UnchangedFrameFilter final : public ScreenSource {
public:
    explicit UnchangedFrameFilter(std::shared_ptr<ScreenSource> inner) : inner_(std::move(inner)) {}

    std::vector<CaptureDisplay> displays() override { return inner_->displays(); }
    std::unique_ptr<ScreenStream> startStream(const CaptureDisplay& display,
                                              const StreamConfig& config, StreamSink sink) override;
    bool canExcludeWindows() const override { return inner_->canExcludeWindows(); }

private:
    std::shared_ptr<ScreenSource> inner_;
};

// Blends `cursor` into an 8-bit 4:2:0 frame with its top-left corner at (left, top) in frame
// pixels, each cursor pixel covering `scale` frame pixels (nearest sample). Exposed for tests.
void blendCursor(FrameBuffer& frame, const CursorImage& cursor, double left, double top,
                 double scale);
// Whether two frames hold the same picture (format, size and every used byte).
bool samePicture(const FrameBuffer& a, const FrameBuffer& b);

}  // namespace orvane
