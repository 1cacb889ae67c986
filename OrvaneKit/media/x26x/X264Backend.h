#pragma once

#include "OrvaneKit/media/VideoEncoderBackend.h"

namespace orvane {

// H.264 High through libx264: zero-latency tuning, no B-frames, no scene-cut keyframes,
// CBR-style VBV so that the bitrate can be changed on a running encoder.
class X264Backend : public VideoEncoderBackend {
public:
    explicit X264Backend(EncoderTuning tuning = {}) : tuning_(std::move(tuning)) {}
    std::unique_ptr<EncoderSession> open(const EncoderSessionConfig& config,
                                         std::string& error) override;

    // The preset used when none is set: fast enough for the frame's pixel rate on a few cores.
    static const char* presetFor(int width, int height, int fps);

private:
    EncoderTuning tuning_;
};

}  // namespace orvane
