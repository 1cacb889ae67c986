#pragma once

#include <cstdint>
#include <vector>

#include "OrvaneKit/base/Bytes.h"
#include "OrvaneKit/media/FrameBuffer.h"
#include "OrvaneKit/media/VideoPacket.h"

namespace orvane {

// Frame `index` of a moving diagonal gradient with the index drawn as a row of 16 black/white
// blocks (binary, most significant first) across the top. Works for every pixel format.
void drawGradientFrame(FrameBuffer& frame, int index);

// Uniform noise of +-amplitude (8-bit units) around mid grey in every plane: content an encoder
// cannot predict, so it spends its whole budget. Full-range noise (amplitude 110) cannot be
// squeezed under a few Mbit/s even at the coarsest quantiser of some encoders.
void drawNoiseFrame(FrameBuffer& frame, uint64_t seed, int amplitude = 110);

// Start code + each parameter set on keyframes, then start code + each NAL of the payload:
// the Annex-B byte stream a standalone decoder reads. False when a NAL length runs past the end.
bool appendAnnexB(const VideoPacket& packet, Bytes& stream);

// NAL unit types in a length-prefixed payload, in order; empty when the lengths do not add up.
std::vector<int> nalTypes(ByteView avcc, VideoCodec codec);

}  // namespace orvane
