#pragma once

#include <cstdint>

#include "OrvaneKit/base/Bytes.h"

namespace orvane {

// Compresses pictures to JPEG (sRGB, 4:2:0). Callable from several threads at once.
class JpegEncoder {
public:
    virtual ~JpegEncoder() = default;
    // `pixels` holds rows of B, G, R, unused bytes; `quality` is 1-100. Empty on failure.
    virtual Bytes encodeBGRX(const std::uint8_t* pixels, int width, int height, int stride,
                             int quality) = 0;
};

}  // namespace orvane
