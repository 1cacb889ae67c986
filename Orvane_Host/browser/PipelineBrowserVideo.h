#pragma once

// The browser server's video from the host's capture pipeline: a pipeline of its own with no
// viewer targets, its every encoded frame handed on.

#include "Orvane_Host/browser/BrowserVideo.h"
#include "Orvane_Host/capture/VideoPipeline.h"

namespace orvane {

class PipelineBrowserVideo final : public BrowserVideoSource {
public:
    explicit PipelineBrowserVideo(VideoPipeline::Parts parts) : parts_(std::move(parts)) {}

    // Throws PlatformError when the display is gone or its capture cannot start.
    std::shared_ptr<BrowserVideoStream> start(std::uint32_t displayID, const Settings& settings,
                                              EncodedHandler onEncoded,
                                              StopHandler onStop) override;

private:
    VideoPipeline::Parts parts_;
};

}  // namespace orvane
