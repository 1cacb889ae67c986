#include "OrvaneKit/protocol/FrameDecoder.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace orvane {
namespace {

Bytes frameBytes(std::uint32_t code, const Bytes& payload) {
    auto h = encodeHeader(code, static_cast<std::uint32_t>(payload.size()));
    Bytes out(h.begin(), h.end());
    append(out, payload);
    return out;
}

Bytes filled(std::size_t n, std::uint8_t seed) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(seed + i * 7);
    return b;
}

TEST(FrameDecoder, HeaderEncodingIsBigEndian) {
    struct Case {
        MessageType type;
        std::uint32_t length;
        const char* hex;
    } cases[] = {
        {MessageType::video, 256, "0000000300000100"},
        {MessageType::secureClientHello, 2632, "0000002800000a48"},
        {MessageType::secureServerHello, 8447, "00000029000020ff"},
        {MessageType::secureFinish, 5755, "0000002a0000167b"},
        {MessageType::invalid, 0, "0000000000000000"},
    };
    for (const auto& c : cases) {
        auto h = encodeHeader(c.type, c.length);
        EXPECT_EQ(toHex(h), c.hex);
        auto parsed = parseHeader(h);
        EXPECT_EQ(parsed.code, rawValue(c.type));
        EXPECT_EQ(parsed.length, c.length);
    }
    auto h = encodeHeader(0xFFFFFFFFu, 0x01020304u);
    EXPECT_EQ(toHex(h), "ffffffff01020304");
}

TEST(FrameDecoder, HandshakeFramesFromTheWire) {
    struct Case {
        const char* header;
        std::size_t bodySize;
        MessageType type;
    } cases[] = {
        {"0000000300000100", 256, MessageType::video},
        {"0000002800000A48", 2632, MessageType::secureClientHello},
        {"00000029000020FF", 8447, MessageType::secureServerHello},
        {"0000002A0000167B", 5755, MessageType::secureFinish},
    };
    for (const auto& c : cases) {
        Bytes wire = *fromHex(c.header);
        Bytes body = filled(c.bodySize, 3);
        append(wire, body);
        FrameDecoder d;
        auto frames = d.feed(wire);
        ASSERT_EQ(frames.size(), 1u) << c.header;
        EXPECT_EQ(frames[0].type, c.type);
        EXPECT_EQ(frames[0].payload, body);
        EXPECT_EQ(d.bufferedBytes(), 0u);
    }
}

// Three frames, one of them empty and one with an unassigned code, fed split at every
// possible pair of points (and byte by byte).
TEST(FrameDecoder, EverySplitOfAStreamGivesTheSameFrames) {
    const std::vector<Frame> expected = {
        {MessageType::chat, 16, filled(37, 1)},
        {MessageType::keyframeRequest, 7, {}},
        {MessageType::invalid, 33, filled(19, 9)},
    };
    Bytes wire;
    for (const auto& f : expected) append(wire, frameBytes(f.code, f.payload));

    for (std::size_t a = 0; a <= wire.size(); ++a) {
        for (std::size_t b = a; b <= wire.size(); b += 5) {
            FrameDecoder d;
            std::vector<Frame> got;
            for (auto [from, to] : {std::pair{std::size_t{0}, a}, {a, b}, {b, wire.size()}}) {
                for (auto& f : d.feed(ByteView(wire).subspan(from, to - from)))
                    got.push_back(std::move(f));
            }
            ASSERT_EQ(got, expected) << "split at " << a << "," << b;
            EXPECT_EQ(d.bufferedBytes(), 0u);
        }
    }

    FrameDecoder d;
    std::vector<Frame> got;
    for (std::size_t i = 0; i < wire.size(); ++i) {
        for (auto& f : d.feed(ByteView(wire).subspan(i, 1))) got.push_back(std::move(f));
    }
    EXPECT_EQ(got, expected);
}

TEST(FrameDecoder, UnassignedCodesKeepTheStreamInStep) {
    for (std::uint32_t code : {28u, 33u, 39u, 43u, 99u, 0xFFFFFFFFu}) {
        Bytes wire = frameBytes(code, filled(10, 4));
        append(wire, frameBytes(rawValue(MessageType::ping), filled(3, 5)));
        FrameDecoder d;
        auto frames = d.feed(wire);
        ASSERT_EQ(frames.size(), 2u) << code;
        EXPECT_EQ(frames[0].type, MessageType::invalid);
        EXPECT_EQ(frames[0].code, code);
        EXPECT_EQ(frames[0].payload, filled(10, 4));
        EXPECT_EQ(frames[1].type, MessageType::ping);
        EXPECT_EQ(frames[1].payload, filled(3, 5));
    }
}

TEST(FrameDecoder, ZeroLengthFramesAreDelivered) {
    Bytes wire;
    for (int i = 0; i < 3; ++i)
        append(wire, frameBytes(rawValue(MessageType::screenshotRequest), {}));
    FrameDecoder d;
    auto frames = d.feed(wire);
    ASSERT_EQ(frames.size(), 3u);
    for (const auto& f : frames) {
        EXPECT_EQ(f.type, MessageType::screenshotRequest);
        EXPECT_TRUE(f.payload.empty());
    }
    // A header alone completes an empty frame even without a following byte.
    auto h = encodeHeader(MessageType::ping, 0);
    auto one = d.feed(h);
    ASSERT_EQ(one.size(), 1u);
    EXPECT_TRUE(one[0].payload.empty());
}

TEST(FrameDecoder, OversizeFramesFailWithoutAllocatingTheClaimedLength) {
    struct Case {
        bool channel;
        std::uint32_t length;
        bool accepted;
    } cases[] = {
        {false, maxPayloadBeforeChannel, true},
        {false, maxPayloadBeforeChannel + 1, false},
        {false, 0xFFFFFFFFu, false},
        {true, maxPayloadBeforeChannel + 1, true},
        {true, maxPayloadAfterChannel, true},
        {true, maxPayloadAfterChannel + 1, false},
        {true, 0xFFFFFFFFu, false},
    };
    EXPECT_EQ(maxPayloadBeforeChannel, 3'145'740u);
    EXPECT_EQ(maxPayloadAfterChannel, 64u * 1024 * 1024);
    for (const auto& c : cases) {
        FrameDecoder d;
        d.setChannelEstablished(c.channel);
        auto h = encodeHeader(MessageType::video, c.length);
        Bytes wire(h.begin(), h.end());
        append(wire, filled(1000, 2));
        EXPECT_TRUE(d.feed(wire).empty());
        EXPECT_EQ(d.failed(), !c.accepted) << c.length;
        if (c.accepted) {
            // Only what arrived is held, not the announced length.
            EXPECT_EQ(d.bufferedBytes(), 1000u);
        } else {
            EXPECT_EQ(d.rejectedLength(), c.length);
            EXPECT_EQ(d.bufferedBytes(), 0u);
            // A failed decoder stays failed.
            EXPECT_TRUE(d.feed(frameBytes(rawValue(MessageType::ping), {})).empty());
            EXPECT_TRUE(d.failed());
        }
    }
}

TEST(FrameDecoder, LargeBodyIsHeldInItsOwnSizeAndNothingLargeStaysBehind) {
    // A body not a power of two, so growth by doubling would show as spare capacity; chunks as
    // the socket gives them and as a full transport inbox does.
    const Bytes body = filled(8 * 1024 * 1024 + 100, 3);
    Bytes wire = frameBytes(rawValue(MessageType::video), body);
    append(wire, frameBytes(rawValue(MessageType::ping), toBytes("after")));
    for (std::size_t chunk : {std::size_t{64 * 1024}, std::size_t{1024 * 1024 + 3}}) {
        SCOPED_TRACE(chunk);
        FrameDecoder d;
        d.setChannelEstablished(true);
        std::vector<Frame> frames;
        std::size_t peak = 0;
        for (std::size_t at = 0; at < wire.size(); at += chunk) {
            auto more = d.feed(ByteView(wire).subspan(at, std::min(chunk, wire.size() - at)));
            for (auto& f : more) frames.push_back(std::move(f));
            peak = std::max(peak, d.bufferCapacity());
        }
        // Never more than the announced body and one chunk of input.
        EXPECT_LE(peak, body.size() + chunk);
        ASSERT_EQ(frames.size(), 2u);
        EXPECT_TRUE(frames[0].payload == body);
        EXPECT_EQ(frames[0].payload.capacity(), body.size());
        EXPECT_EQ(toString(frames[1].payload), "after");
        EXPECT_LE(d.bufferCapacity(), 64u * 1024);
    }
}

TEST(FrameDecoder, RaisedLimitAppliesToTheFramesAfterTheHandshake) {
    // The handshake's last frame and a large sealed frame arrive in one read; the caller raises
    // the limit when it has handled the first.
    Bytes big = filled(maxPayloadBeforeChannel + 10, 1);
    Bytes wire = frameBytes(rawValue(MessageType::secureFinish), filled(5755, 2));
    append(wire, frameBytes(rawValue(MessageType::video), big));
    FrameDecoder d;
    d.append(wire);
    auto first = d.next();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->type, MessageType::secureFinish);
    d.setChannelEstablished(true);
    auto second = d.next();
    ASSERT_TRUE(second);
    EXPECT_EQ(second->payload, big);
    EXPECT_FALSE(d.failed());
}

TEST(FrameDecoder, PayloadSizeMustFitTheLengthField) {
    EXPECT_TRUE(payloadFitsFrame(0));
    EXPECT_TRUE(payloadFitsFrame(0xFFFFFFFFull));
    if constexpr (sizeof(std::size_t) > 4) {
        EXPECT_FALSE(payloadFitsFrame(0x100000000ull));
    }
}

}  // namespace
}  // namespace orvane
