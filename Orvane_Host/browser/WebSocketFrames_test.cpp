#include "Orvane_Host/browser/WebSocketFrames.h"

#include <gtest/gtest.h>

namespace orvane::websocket {
namespace {

// A client frame as a browser writes it: FIN set, masked with `key`.
Bytes clientFrame(std::uint8_t opcode, std::string_view payload, bool masked = true,
                  std::uint8_t firstByteExtra = 0x80) {
    Bytes out = encodeFrameHeader(opcode, payload.size());
    out[0] = static_cast<std::uint8_t>(firstByteExtra | opcode);
    const std::uint8_t key[4] = {0x37, 0xfa, 0x21, 0x3d};
    if (masked) {
        out[1] |= 0x80;
        out.insert(out.end(), key, key + 4);
    }
    for (std::size_t i = 0; i < payload.size(); ++i)
        out.push_back(static_cast<std::uint8_t>(payload[i]) ^ (masked ? key[i % 4] : 0));
    return out;
}

// A header that declares `length` in the 64-bit form, unmasked.
Bytes longHeader(std::uint8_t opcode, std::uint64_t length) {
    Bytes h = {static_cast<std::uint8_t>(0x80 | opcode), 127};
    appendBE64(h, length);
    return h;
}

TEST(WebSocketFrames, AcceptValueOfTheRfcExample) {
    EXPECT_EQ(acceptValue("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
}

TEST(WebSocketFrames, ServerHeaderTakesTheShortestLengthForm) {
    struct Case {
        std::uint64_t n;
        const char* hex;
    };
    const Case cases[] = {
        {0, "8200"},
        {125, "827d"},
        {126, "827e007e"},
        {65535, "827effff"},
        {65536, "827f0000000000010000"},
    };
    for (const auto& c : cases) EXPECT_EQ(toHex(encodeFrameHeader(binary, c.n)), c.hex) << c.n;
    EXPECT_EQ(toHex(encodeFrameHeader(pong, 3)), "8a03");
}

TEST(WebSocketFrames, ReadsMaskedAndUnmaskedFramesWhateverTheChunking) {
    Bytes stream = clientFrame(text, R"({"t":"move"})");
    auto unmasked = clientFrame(text, "second", false, 0x00);  // FIN clear: not examined
    auto mid = clientFrame(binary, std::string(300, 'b'));     // 16-bit length form
    auto big = clientFrame(ping, "");
    for (const auto* f : {&unmasked, &mid, &big}) stream.insert(stream.end(), f->begin(), f->end());

    for (std::size_t chunk : {std::size_t(1), std::size_t(3), std::size_t(7), stream.size()}) {
        FrameReader r;
        std::vector<Frame> got;
        for (std::size_t at = 0; at < stream.size(); at += chunk) {
            r.append(ByteView(stream).subspan(at, std::min(chunk, stream.size() - at)));
            while (auto f = r.next()) got.push_back(std::move(*f));
        }
        ASSERT_EQ(got.size(), 4u) << chunk;
        EXPECT_EQ(got[0].opcode, text);
        EXPECT_EQ(toString(got[0].payload), R"({"t":"move"})");
        EXPECT_EQ(toString(got[1].payload), "second");
        EXPECT_EQ(got[2].payload.size(), 300u);
        EXPECT_EQ(got[3].opcode, ping);
        EXPECT_EQ(r.buffered(), 0u);
        EXPECT_FALSE(r.failed());
    }
}

TEST(WebSocketFrames, RefusesOversizedDeclarationsBeforeTheirPayload) {
    struct Case {
        const char* what;
        Bytes header;
        bool fails;
    };
    const Case cases[] = {
        {"2^64 - 1", longHeader(text, ~std::uint64_t(0)), true},
        {"2^63", longHeader(text, std::uint64_t(1) << 63), true},
        {"2^63 - 10 (end offset overflows)", longHeader(text, (std::uint64_t(1) << 63) - 10), true},
        {"1 MiB + 1", longHeader(binary, maxPayload + 1), true},
        {"1 MiB", longHeader(binary, maxPayload), false},
        {"ping of 126", {0x89, 126, 0x00, 126}, true},
        {"close of 126", {0x88, 126, 0x00, 126}, true},
        {"reserved control of 200", {0x8b, 126, 0x00, 200}, true},
        {"ping of 125", {0x89, 125}, false},
    };
    for (const auto& c : cases) {
        FrameReader r;
        r.append(c.header);
        EXPECT_FALSE(r.next()) << c.what;
        EXPECT_EQ(r.failed(), c.fails) << c.what;
        if (c.fails) {
            // Failed for good: later bytes are not even kept.
            r.append(Bytes(1000, 0));
            EXPECT_FALSE(r.next());
            EXPECT_EQ(r.buffered(), c.header.size()) << c.what;
        }
    }
}

TEST(WebSocketFrames, LargestFrameIsReadAndItsRoomGivenBack) {
    std::string payload(maxPayload, 'z');
    auto frame = clientFrame(binary, payload);
    FrameReader r;
    for (std::size_t at = 0; at < frame.size(); at += 65536) {
        r.append(ByteView(frame).subspan(at, std::min<std::size_t>(65536, frame.size() - at)));
        EXPECT_LE(r.buffered(), maxHeader + maxPayload);
    }
    auto f = r.next();
    ASSERT_TRUE(f);
    EXPECT_EQ(f->payload.size(), maxPayload);
    EXPECT_EQ(r.buffered(), 0u);
}

TEST(WebSocketFrames, FragmentsArriveAsSeparateFrames) {
    // A text message in two fragments: the first frame, then a continuation.
    Bytes stream = clientFrame(text, R"({"t":"te)", true, 0x00);
    auto cont = clientFrame(continuation, R"(xt"})");
    stream.insert(stream.end(), cont.begin(), cont.end());
    FrameReader r;
    r.append(stream);
    auto first = r.next();
    auto second = r.next();
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->opcode, text);
    EXPECT_EQ(second->opcode, continuation);
}

}  // namespace
}  // namespace orvane::websocket
