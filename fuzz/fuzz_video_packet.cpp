// VideoPacket::parse on arbitrary bodies; whatever parses must write back to the same bytes.

#include "FuzzSupport.h"
#include "OrvaneKit/media/VideoPacket.h"

using namespace orvane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ByteView body(data, size);
    auto packet = VideoPacket::parse(body);
    if (!packet) return 0;
    FUZZ_CHECK(size >= 9);
    FUZZ_CHECK(packet->isKeyframe || packet->parameterSets.empty());

    auto written = packet->serialize();
    FUZZ_CHECK(written.has_value());
    // Only the two flag bits travel; the others are ignored on input.
    Bytes expected(body.begin(), body.end());
    expected[0] &= 0x03;
    FUZZ_CHECK(*written == expected);
    FUZZ_CHECK(VideoPacket::parse(*written) == packet);
    return 0;
}
