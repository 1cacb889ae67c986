#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "OrvaneKit/base/Bytes.h"
#include "OrvaneKit/media/FrameBuffer.h"
#include "OrvaneKit/media/VideoEncoderBackend.h"

namespace orvane::x26x {

// What the x264 and x265 sessions do alike: rate limits, input layout, parameter sets and the
// coded frames they hand out.

// The target rate in kbit/s as both libraries take it.
int kbps(int64_t bitrate);
// Half a second of VBV holds a keyframe without long bursts.
inline int vbvBufferKbit(int kbit) {
    return kbit / 2 > 1 ? kbit / 2 : 1;
}

// Gives the encoder frames in the one layout it takes, converting into a buffer of its own when
// the captured layout differs.
class InputLayout {
public:
    InputLayout(PixelFormat captured, PixelFormat wanted, int width, int height);
    const FrameBuffer& prepare(const FrameBuffer& frame);

private:
    std::shared_ptr<FrameBuffer> converted_;
};

// Keeps a header NAL as a parameter set, without its 4-byte length prefix.
void addParameterSet(std::vector<Bytes>& sets, const std::uint8_t* payload, std::size_t size);

// One coded picture whose length-prefixed NALs lie back to back from `data`; keyframes carry the
// session's parameter sets.
EncodedFrame codedFrame(const std::uint8_t* data, std::size_t size, bool keyframe, int64_t pts,
                        const std::vector<Bytes>& parameterSets);

}  // namespace orvane::x26x
