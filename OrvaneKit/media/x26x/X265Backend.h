#pragma once

#include "OrvaneKit/media/VideoEncoderBackend.h"

namespace orvane {

// HEVC through libx265: Main, or Main 10 with BT.2020/PQ signalling for HDR; zero-latency
// tuning, no B-frames, closed GOPs, keyframes only when asked, live bitrate change.
class X265Backend : public VideoEncoderBackend {
public:
    explicit X265Backend(EncoderTuning tuning = {}) : tuning_(std::move(tuning)) {}
    std::unique_ptr<EncoderSession> open(const EncoderSessionConfig& config,
                                         std::string& error) override;

    static const char* presetFor(int width, int height, int fps);

private:
    EncoderTuning tuning_;
};

}  // namespace orvane
