#include "OrvaneKit/media/testing/EncodedStreams.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "OrvaneKit/media/VideoEncoder.h"
#include "OrvaneKit/media/x26x/LibraryEncoderBackend.h"

namespace orvane {

std::vector<VideoPacket> encodeGreyStream(VideoCodec codec, int width, int height, int count,
                                          int fps, const std::vector<int>& forced, int y) {
    const int64_t bitrate = 1'000'000;
    VideoEncoder encoder(bitrate, fps, std::make_shared<LibraryEncoderBackend>());
    encoder.configure(bitrate, fps, codec, false);
    std::vector<VideoPacket> packets;
    encoder.onPacket = [&](VideoPacket p) { packets.push_back(std::move(p)); };
    FrameBufferPool pool(PixelFormat::nv12, width, height, 3);
    for (int i = 0; i < count; ++i) {
        if (std::find(forced.begin(), forced.end(), i) != forced.end()) encoder.requestKeyframe();
        auto frame = pool.acquire();
        for (int row = 0; row < frame->planeHeight(0); ++row)
            std::memset(frame->data(0) + row * frame->stride(0), y, size_t(frame->rowBytes(0)));
        for (int row = 0; row < frame->planeHeight(1); ++row)
            std::memset(frame->data(1) + row * frame->stride(1), 128, size_t(frame->rowBytes(1)));
        encoder.encode(*frame, {i, fps});
    }
    encoder.invalidate();
    return packets;
}

}  // namespace orvane
