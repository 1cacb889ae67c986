#pragma once

#include <vector>

#include "OrvaneKit/media/VideoPacket.h"

namespace orvane {

// `count` flat grey frames (luma `y`) through the project's own encoder, keyframes forced at
// the given indices besides the first. Test support.
std::vector<VideoPacket> encodeGreyStream(VideoCodec codec, int width, int height, int count,
                                          int fps, const std::vector<int>& forced, int y = 128);

}  // namespace orvane
