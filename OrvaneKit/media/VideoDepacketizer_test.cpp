#include "OrvaneKit/media/VideoDepacketizer.h"

#include <gtest/gtest.h>

#include "OrvaneKit/media/BitWriter.h"

namespace orvane {
namespace {

void writeUe(BitWriter& w, uint32_t v) {
    uint64_t code = uint64_t{v} + 1;
    int bits = 64 - __builtin_clzll(code);
    w.write(0, bits - 1);
    w.write(static_cast<uint32_t>(code), bits);
}

Bytes finish(BitWriter& w, Bytes header) {
    w.write(1, 1);  // stop bit
    w.alignToByte();
    Bytes body = w.bytes();
    header.insert(header.end(), body.begin(), body.end());
    return header;
}

// Baseline SPS of a frame-only stream, cropped at the bottom by `cropBottom` luma rows / 2.
Bytes h264Sps(uint32_t widthMbs, uint32_t heightMbs, uint32_t cropBottom = 0) {
    BitWriter w;
    w.write(66, 8);
    w.write(0xC01F, 16);
    writeUe(w, 0);  // id
    writeUe(w, 0);  // log2_max_frame_num - 4
    writeUe(w, 0);  // poc type 0
    writeUe(w, 0);
    writeUe(w, 1);  // refs
    w.write(0, 1);
    writeUe(w, widthMbs - 1);
    writeUe(w, heightMbs - 1);
    w.write(1, 1);  // frame_mbs_only
    w.write(1, 1);
    w.write(cropBottom ? 1 : 0, 1);
    if (cropBottom) {
        writeUe(w, 0);
        writeUe(w, 0);
        writeUe(w, 0);
        writeUe(w, cropBottom);
    }
    w.write(0, 1);  // no VUI
    return finish(w, {0x67});
}

Bytes hevcSps(uint32_t width, uint32_t height) {
    BitWriter w;
    w.write(0, 4);
    w.write(0, 3);
    w.write(1, 1);
    for (int i = 0; i < 3; ++i) w.write(0x40000000, 32);  // profile, tier, level
    writeUe(w, 0);
    writeUe(w, 1);  // 4:2:0
    writeUe(w, width);
    writeUe(w, height);
    w.write(0, 1);
    return finish(w, {0x42, 0x01});
}

const Bytes kPps{0x68, 0xCE, 0x3C, 0x80};
const Bytes kHevcVps{0x40, 0x01, 0x0C};
const Bytes kHevcPps{0x44, 0x01, 0xC1};

TEST(VideoParameterSets, SizeTable) {
    struct Case {
        const char* name;
        VideoCodec codec;
        Bytes sps;
        std::optional<VideoSize> size;
    };
    Bytes cut = h264Sps(120, 68, 4);
    cut.resize(5);
    const Case cases[] = {
        {"h264 one macroblock", VideoCodec::h264, h264Sps(1, 1), VideoSize{16, 16}},
        {"h264 1080p cropped", VideoCodec::h264, h264Sps(120, 68, 4), VideoSize{1920, 1080}},
        {"h264 at the cap", VideoCodec::h264, h264Sps(512, 512), VideoSize{8192, 8192}},
        {"h264 too wide", VideoCodec::h264, h264Sps(513, 1), std::nullopt},
        {"h264 too tall", VideoCodec::h264, h264Sps(1, 513), std::nullopt},
        {"h264 crop beyond picture", VideoCodec::h264, h264Sps(1, 1, 9), std::nullopt},
        {"h264 cut short", VideoCodec::h264, cut, std::nullopt},
        {"h264 not an sps", VideoCodec::h264, kPps, std::nullopt},
        {"hevc portrait phone", VideoCodec::hevc, hevcSps(1170, 2532), VideoSize{1170, 2532}},
        {"hevc at the cap", VideoCodec::hevc, hevcSps(8192, 8192), VideoSize{8192, 8192}},
        {"hevc too wide", VideoCodec::hevc, hevcSps(8193, 64), std::nullopt},
        {"hevc huge", VideoCodec::hevc, hevcSps(1u << 30, 1u << 30), std::nullopt},
        {"hevc zero", VideoCodec::hevc, hevcSps(0, 64), std::nullopt},
        {"hevc not an sps", VideoCodec::hevc, kHevcVps, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto size = c.codec == VideoCodec::hevc ? parseHevcSpsSize(c.sps) : parseH264SpsSize(c.sps);
        EXPECT_EQ(size, c.size);
        auto format = VideoDepacketizer::makeFormat(
            c.codec == VideoCodec::hevc ? std::vector<Bytes>{kHevcVps, c.sps, kHevcPps}
                                        : std::vector<Bytes>{c.sps, kPps},
            c.codec);
        EXPECT_EQ(format.has_value(), c.size.has_value());
    }
    // Every set the decoder needs must be there.
    EXPECT_FALSE(VideoDepacketizer::makeFormat({}, VideoCodec::h264));
    EXPECT_FALSE(VideoDepacketizer::makeFormat({h264Sps(1, 1)}, VideoCodec::h264));
    EXPECT_FALSE(VideoDepacketizer::makeFormat({hevcSps(64, 64), kHevcPps}, VideoCodec::hevc));
}

TEST(VideoParameterSets, AnnexBChecksEveryLength) {
    struct Case {
        const char* name;
        Bytes avcc;
        std::optional<Bytes> annexB;
    };
    const Case cases[] = {
        {"two units",
         {0, 0, 0, 2, 0x65, 0x88, 0, 0, 0, 1, 0x41},
         Bytes{0, 0, 0, 1, 0x65, 0x88, 0, 0, 0, 1, 0x41}},
        {"length past the payload", {0, 0, 0, 3, 0x65, 0x88}, std::nullopt},
        {"second length past the payload",
         {0, 0, 0, 1, 0x65, 0xFF, 0xFF, 0xFF, 0xFF, 0x41},
         std::nullopt},
        {"zero length", {0, 0, 0, 0, 0, 0, 0, 1, 0x65}, std::nullopt},
        {"trailing bytes", {0, 0, 0, 1, 0x65, 0, 0}, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(avccToAnnexB(c.avcc), c.annexB);
    }
}

TEST(VideoDepacketizer, FormatFollowsSoundKeyframes) {
    VideoDepacketizer d;
    const Bytes frame{0, 0, 0, 2, 0x65, 0x88};
    auto key = [&](std::vector<Bytes> sets, uint64_t t = 0) {
        return VideoPacket{true, VideoCodec::h264, t, std::move(sets), frame};
    };
    // Nothing before a sound keyframe: a delta, then corrupt sets.
    EXPECT_FALSE(d.sampleBuffer(VideoPacket{false, VideoCodec::h264, 0, {}, frame}));
    EXPECT_FALSE(d.sampleBuffer(key({Bytes{0x67, 0x42}, kPps})));
    EXPECT_FALSE(d.videoSize());

    auto first = d.sampleBuffer(key({h264Sps(20, 15), kPps}, 1000));
    ASSERT_TRUE(first);
    EXPECT_TRUE(first->sync);
    EXPECT_EQ(first->ptsMicros, 1000);
    EXPECT_EQ(first->annexB, (Bytes{0, 0, 0, 1, 0x65, 0x88}));
    EXPECT_EQ(d.videoSize(), (VideoSize{320, 240}));

    // Corrupt sets later keep the old format; the frame still goes out with it.
    auto kept = d.sampleBuffer(key({h264Sps(513, 1), kPps}));
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->format, first->format);
    // The same sets again share the format object; new ones replace it.
    EXPECT_EQ(d.sampleBuffer(key({h264Sps(20, 15), kPps}))->format, first->format);
    d.sampleBuffer(key({h264Sps(40, 30), kPps}));
    EXPECT_EQ(d.videoSize(), (VideoSize{640, 480}));

    auto delta = d.sampleBuffer(VideoPacket{false, VideoCodec::h264, 2000, {}, frame});
    ASSERT_TRUE(delta);
    EXPECT_FALSE(delta->sync);

    // Unwrappable or empty payloads, unrepresentable times, a frame of the other codec.
    EXPECT_FALSE(d.sampleBuffer(VideoPacket{false, VideoCodec::h264, 0, {}, {0, 0, 0, 9, 1}}));
    EXPECT_FALSE(d.sampleBuffer(VideoPacket{true, VideoCodec::h264, 0, {h264Sps(1, 1), kPps}, {}}));
    EXPECT_FALSE(
        d.sampleBuffer(VideoPacket{false, VideoCodec::h264, uint64_t{1} << 63, {}, frame}));
    EXPECT_TRUE(
        d.sampleBuffer(VideoPacket{false, VideoCodec::h264, (uint64_t{1} << 63) - 1, {}, frame}));
    EXPECT_FALSE(d.sampleBuffer(VideoPacket{false, VideoCodec::hevc, 0, {}, frame}));
}

}  // namespace
}  // namespace orvane
