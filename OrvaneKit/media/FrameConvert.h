#pragma once

#include "OrvaneKit/media/FrameBuffer.h"

namespace orvane {

// Copies `src` into `dst` of the same size, changing layout and depth as needed: NV12 chroma is
// de-interleaved, 8-bit samples are widened by a shift of two and 10-bit ones narrowed with
// rounding. Encoders use it when the captured layout is not one their library takes.
// False (dst untouched) when the sizes differ.
bool convertFrame(const FrameBuffer& src, FrameBuffer& dst);

}  // namespace orvane
