#pragma once

#include <memory>

#include "OrvaneKit/media/VideoEncoderBackend.h"

namespace orvane {

// The software encoders: libx264 for H.264, libx265 for HEVC.
class LibraryEncoderBackend : public VideoEncoderBackend {
public:
    explicit LibraryEncoderBackend(EncoderTuning tuning = {});
    ~LibraryEncoderBackend() override;
    std::unique_ptr<EncoderSession> open(const EncoderSessionConfig& config,
                                         std::string& error) override;

private:
    std::unique_ptr<VideoEncoderBackend> h264_;
    std::unique_ptr<VideoEncoderBackend> hevc_;
};

}  // namespace orvane
