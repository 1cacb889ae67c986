#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "OrvaneKit/media/FrameBuffer.h"

namespace orvane {

// Turns a grabbed BGRX picture (bytes B, G, R, unused; as X servers lay out 24-bit depth) into
// the encoder's 4:2:0 formats: BT.709 limited range, chroma from the average of each 2x2 block.
// Runs once per captured frame, so the common path is a single AVX2 pass over the source.
class FrameConverter {
public:
    // Fills `out` (NV12 or I420) from the source. A source of another size is scaled to the
    // output size first (bilinear); a source larger by one pixel only (an odd width or height
    // under an even output) is cropped instead. Throws std::invalid_argument for an HDR output.
    void convert(const uint8_t* bgrx, int stride, int width, int height, FrameBuffer& out);

    // The conversion without scaling: the first out.width() x out.height() pixels of the source.
    // `simd` false forces the portable path (tests compare the two).
    static void convertUnscaled(const uint8_t* bgrx, int stride, FrameBuffer& out,
                                bool simd = true);

    static bool hasSimd();

private:
    std::vector<uint8_t> scaled_;
};

}  // namespace orvane
