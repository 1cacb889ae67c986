#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

#include "Orvane_Host/browser/BrowserVideo.h"

namespace orvane {

// A browser video source of real H.264 from the library encoder: a still picture of four
// coloured quarters (red, green / blue, white), encoded 30 times a second with the wall-clock
// time in microseconds as each frame's timestamp.
class PatternVideo final : public BrowserVideoSource {
public:
    static constexpr int width = 640, height = 360;

    std::shared_ptr<BrowserVideoStream> start(std::uint32_t displayID, const Settings& settings,
                                              EncodedHandler onEncoded,
                                              StopHandler onStop) override;
    std::atomic<int> starts{0};
};

}  // namespace orvane
