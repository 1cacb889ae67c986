// A peer's video packets through the depacketizer: parameter sets it parses itself and NAL
// lengths it must check. The input is a run of packet bodies, each after a u16 length, so a
// format from one keyframe meets later packets.

#include "FuzzSupport.h"
#include "OrvaneKit/media/VideoDepacketizer.h"

using namespace orvane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    VideoDepacketizer depacketizer;
    std::size_t pos = 0;
    while (size - pos >= 2) {
        std::size_t length = std::size_t{data[pos]} << 8 | data[pos + 1];
        pos += 2;
        length = std::min(length, size - pos);
        auto packet = VideoPacket::parse(ByteView(data + pos, length));
        pos += length;
        if (!packet) continue;
        auto sample = depacketizer.sampleBuffer(*packet);
        if (!sample) continue;
        FUZZ_CHECK(sample->format);
        FUZZ_CHECK(sample->format->size.width > 0 && sample->format->size.height > 0);
        FUZZ_CHECK(sample->format->size.width <= kMaxVideoDimension);
        FUZZ_CHECK(sample->format->size.height <= kMaxVideoDimension);
        FUZZ_CHECK(sample->ptsMicros >= 0);
        // Annex-B adds exactly the bytes of the length fields back as start codes.
        FUZZ_CHECK(sample->annexB.size() == packet->avcc.size());
        FUZZ_CHECK(sample->sync == packet->isKeyframe);
    }
    return 0;
}
