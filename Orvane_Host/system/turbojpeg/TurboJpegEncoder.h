#pragma once

#include "Orvane_Host/system/JpegEncoder.h"

namespace orvane {

// JPEG through libturbojpeg, with a compressor of its own per call (they cannot be shared
// between threads).
class TurboJpegEncoder final : public JpegEncoder {
public:
    Bytes encodeBGRX(const std::uint8_t* pixels, int width, int height, int stride,
                     int quality) override;
};

}  // namespace orvane
