#include "OrvaneKit/media/x26x/X26xSession.h"

#include <algorithm>
#include <thread>

#include "OrvaneKit/media/FrameConvert.h"

namespace orvane {

int defaultEncoderThreads() {
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    return static_cast<int>(std::min(cores, 4u));
}

namespace x26x {

int kbps(int64_t bitrate) {
    return static_cast<int>(std::clamp<int64_t>(bitrate / 1000, 1, 2'000'000));
}

InputLayout::InputLayout(PixelFormat captured, PixelFormat wanted, int width, int height) {
    if (captured != wanted) converted_ = FrameBuffer::make(wanted, width, height);
}

const FrameBuffer& InputLayout::prepare(const FrameBuffer& frame) {
    if (!converted_) return frame;
    convertFrame(frame, *converted_);
    return *converted_;
}

void addParameterSet(std::vector<Bytes>& sets, const std::uint8_t* payload, std::size_t size) {
    if (size <= 4) return;
    sets.emplace_back(payload + 4, payload + size);
}

EncodedFrame codedFrame(const std::uint8_t* data, std::size_t size, bool keyframe, int64_t pts,
                        const std::vector<Bytes>& parameterSets) {
    EncodedFrame f;
    f.keyframe = keyframe;
    f.ptsMicros = pts;
    f.avcc.assign(data, data + size);
    if (keyframe) f.parameterSets = parameterSets;
    return f;
}

}  // namespace x26x
}  // namespace orvane
