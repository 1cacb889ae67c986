#pragma once

#include <memory>

#include "OrvaneKit/base/NetContext.h"
#include "Orvane_Host/browser/BrowserVideo.h"
#include "Orvane_Host/capture/ScreenSource.h"

namespace orvane {

// A browser video source over the real screen capture and library encoder, for tests until the
// host's pipeline feeds the browser server: captured frames are encoded on the capture queue and
// handed on; a keyframe asked for "now" re-encodes the last captured frame, since a still screen
// delivers nothing new.
class CapturedVideo final : public BrowserVideoSource {
public:
    CapturedVideo(std::shared_ptr<ScreenSource> source, NetContext& net)
        : source_(std::move(source)), net_(net) {}

    std::shared_ptr<BrowserVideoStream> start(std::uint32_t displayID, const Settings& settings,
                                              EncodedHandler onEncoded,
                                              StopHandler onStop) override;

private:
    std::shared_ptr<ScreenSource> source_;
    NetContext& net_;
};

}  // namespace orvane
