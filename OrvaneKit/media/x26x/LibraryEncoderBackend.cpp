#include "OrvaneKit/media/x26x/LibraryEncoderBackend.h"

#include "OrvaneKit/media/x26x/X264Backend.h"
#include "OrvaneKit/media/x26x/X265Backend.h"

namespace orvane {

LibraryEncoderBackend::LibraryEncoderBackend(EncoderTuning tuning)
    : h264_(std::make_unique<X264Backend>(tuning)), hevc_(std::make_unique<X265Backend>(tuning)) {}

LibraryEncoderBackend::~LibraryEncoderBackend() = default;

std::unique_ptr<EncoderSession> LibraryEncoderBackend::open(const EncoderSessionConfig& config,
                                                            std::string& error) {
    return (config.codec == VideoCodec::hevc ? hevc_ : h264_)->open(config, error);
}

}  // namespace orvane
