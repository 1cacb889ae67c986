// The frame decoder fed one byte stream in arbitrary chunks, under each limit, against a
// straightforward reading of the whole stream at once.

#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <vector>

#include "FuzzSupport.h"
#include "OrvaneKit/protocol/FrameDecoder.h"

using namespace orvane;

namespace {

// Limits worth crossing; the last entry means "before the channel, then after it once the
// third frame (the handshake's last) is out", as the connection does.
constexpr std::array<std::uint32_t, 7> limits = {
    maxPayloadBeforeChannel, maxPayloadAfterChannel, 0, 1, 8, 4096, 0xFFFFFFFFu};
constexpr std::size_t switchAfterFrames = 3;

struct Outcome {
    std::vector<Frame> frames;
    std::optional<std::uint32_t> rejected;
};

Outcome reference(ByteView stream, std::size_t mode) {
    Outcome out;
    std::uint32_t limit = mode == limits.size() ? maxPayloadBeforeChannel : limits[mode];
    std::size_t at = 0;
    while (stream.size() - at >= frameHeaderSize) {
        FrameHeader h = parseHeader(stream.subspan(at));
        if (h.length > limit) {
            out.rejected = h.length;
            break;
        }
        if (stream.size() - at - frameHeaderSize < h.length) break;
        const auto* p = stream.data() + at + frameHeaderSize;
        out.frames.push_back({receivedType(h.code), h.code, Bytes(p, p + h.length)});
        at += frameHeaderSize + h.length;
        if (mode == limits.size() && out.frames.size() == switchAfterFrames)
            limit = maxPayloadAfterChannel;
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const std::size_t mode = in.ConsumeIntegralInRange<std::size_t>(0, limits.size());

    FrameDecoder decoder;
    if (mode < limits.size())
        decoder.setMaxPayload(limits[mode]);
    else
        decoder.setChannelEstablished(false);

    Bytes stream;
    Outcome got;
    while (in.remaining_bytes() > 0) {
        // Chunk sizes come from the end of the input, chunk bytes from the front.
        auto n = in.ConsumeIntegralInRange<std::size_t>(0, 64);
        if (n == 64) n = in.ConsumeIntegralInRange<std::size_t>(0, 1 << 16);
        Bytes chunk = in.ConsumeBytes<std::uint8_t>(n);
        stream.insert(stream.end(), chunk.begin(), chunk.end());
        decoder.append(chunk);
        while (auto f = decoder.next()) {
            got.frames.push_back(std::move(*f));
            if (mode == limits.size() && got.frames.size() == switchAfterFrames)
                decoder.setChannelEstablished(true);
        }
        FUZZ_CHECK(decoder.bufferedBytes() <= stream.size());
    }
    got.rejected = decoder.rejectedLength();

    Outcome want = reference(stream, mode);
    FUZZ_CHECK(got.frames == want.frames);
    FUZZ_CHECK(got.rejected == want.rejected);
    FUZZ_CHECK(decoder.failed() == want.rejected.has_value());
    if (decoder.failed()) {
        FUZZ_CHECK(!decoder.next());
    }
    return 0;
}
