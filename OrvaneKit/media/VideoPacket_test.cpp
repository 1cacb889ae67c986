#include "OrvaneKit/media/VideoPacket.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <random>

namespace orvane {
namespace {

// Hex with spaces between fields, for readability.
Bytes hex(std::string_view h) {
    std::string packed;
    for (char c : h) {
        if (c != ' ') packed += c;
    }
    return *fromHex(packed);
}

TEST(VideoPacket, ParsesByteLayouts) {
    struct Case {
        const char* name;
        const char* body;
        bool ok;
        bool key = false;
        VideoCodec codec = VideoCodec::h264;
        size_t sets = 0;
        const char* avcc = "";
    };
    const Case cases[] = {
        {"non-key h264, empty payload", "00 0000000000000000", true},
        {"keyframe without count byte", "01 0000000000000000", false},
        {"too short", "00 00000000000000", false},
        {"key, count 0, payload from 10", "01 0000000000000000 00 0000000165", true, true,
         VideoCodec::h264, 0, "0000000165"},
        {"set one past end", "01 0000000000000000 01 0003 aabb", false},
        {"set ends at end", "01 0000000000000000 01 0002 aabb", true, true, VideoCodec::h264, 1,
         ""},
        {"count larger than sets present", "03 0000000000000000 02 0001 aa", false},
        {"set length cut in half", "01 0000000000000000 01 00", false},
        {"flags 0xFE: non-key hevc", "fe 0000000000000000 00000001ff", true, false,
         VideoCodec::hevc, 0, "00000001ff"},
        {"hevc key, three sets", "03 0000000000000000 03 0001 40 0001 42 0001 44 0000000126", true,
         true, VideoCodec::hevc, 3, "0000000126"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto p = VideoPacket::parse(hex(c.body));
        ASSERT_EQ(p.has_value(), c.ok);
        if (!c.ok) continue;
        EXPECT_EQ(p->isKeyframe, c.key);
        EXPECT_EQ(p->codec, c.codec);
        EXPECT_EQ(p->parameterSets.size(), c.sets);
        EXPECT_EQ(p->avcc, hex(c.avcc));
    }
}

TEST(VideoPacket, SerialisesByteLayout) {
    VideoPacket key{true, VideoCodec::hevc, 258, {hex("40"), hex("4201")}, hex("00000001aa")};
    EXPECT_EQ(*key.serialize(), hex("03 0000000000000102 02 0001 40 0002 4201 00000001aa"));

    // A non-keyframe writes neither count nor sets, and parses back with none.
    VideoPacket delta{false, VideoCodec::h264, 258, {hex("67")}, hex("0000000141")};
    auto bytes = *delta.serialize();
    EXPECT_EQ(bytes, hex("00 0000000000000102 0000000141"));
    auto back = VideoPacket::parse(bytes);
    ASSERT_TRUE(back);
    EXPECT_TRUE(back->parameterSets.empty());
    EXPECT_EQ(back->avcc, delta.avcc);

    // A keyframe with no sets still carries the count byte.
    VideoPacket bare{true, VideoCodec::h264, 0, {}, {}};
    EXPECT_EQ(*bare.serialize(), hex("01 0000000000000000 00"));
}

TEST(VideoPacket, RefusesSetsBeyondWireLimits) {
    VideoPacket p{true, VideoCodec::h264, 1, {}, {}};
    p.parameterSets.assign(255, hex("67"));
    EXPECT_TRUE(p.serialize());
    p.parameterSets.assign(256, hex("67"));
    EXPECT_FALSE(p.serialize());

    p.parameterSets = {Bytes(65535, 1)};
    auto ok = p.serialize();
    ASSERT_TRUE(ok);
    EXPECT_EQ(VideoPacket::parse(*ok)->parameterSets[0].size(), 65535u);
    p.parameterSets = {Bytes(65536, 1)};
    EXPECT_FALSE(p.serialize());

    // Limits bind only where sets are written.
    p.isKeyframe = false;
    EXPECT_TRUE(p.serialize());
}

TEST(VideoPacket, RandomRoundTrip) {
    std::mt19937_64 rng(0x5eed);
    auto randomBytes = [&](size_t maxLen) {
        Bytes b(rng() % (maxLen + 1));
        for (auto& x : b) x = static_cast<uint8_t>(rng());
        return b;
    };
    for (int i = 0; i < 500; ++i) {
        VideoPacket p;
        p.isKeyframe = rng() % 2;
        p.codec = rng() % 2 ? VideoCodec::hevc : VideoCodec::h264;
        p.timestampMicros = rng();
        if (p.isKeyframe) {
            const size_t n = rng() % 5;
            for (size_t k = 0; k < n; ++k) p.parameterSets.push_back(randomBytes(300));
        }
        p.avcc = randomBytes(2000);
        auto bytes = p.serialize();
        ASSERT_TRUE(bytes);
        auto back = VideoPacket::parse(*bytes);
        ASSERT_TRUE(back);
        EXPECT_EQ(*back, p);
        // Every strict prefix of a keyframe's header and sets must be rejected or parse
        // differently, never read past the end (ASan watches).
        for (size_t cut = 0; cut < bytes->size() && cut < 40; ++cut) {
            (void)VideoPacket::parse(ByteView(bytes->data(), cut));
        }
    }
}

TEST(VideoCodec, NamesTypesAndChoice) {
    EXPECT_EQ(videoCodecName(VideoCodec::h264), "h264");
    EXPECT_EQ(videoCodecName(VideoCodec::hevc), "hevc");
    EXPECT_EQ(videoCodecFromName("hevc"), VideoCodec::hevc);
    EXPECT_EQ(videoCodecFromName("HEVC"), std::nullopt);
    EXPECT_EQ(videoCodecFromName(""), std::nullopt);
    EXPECT_EQ(videoCodecType(VideoCodec::h264), 0x61766331u);  // 'avc1'
    EXPECT_EQ(videoCodecType(VideoCodec::hevc), 0x68766331u);  // 'hvc1'

    EXPECT_FALSE(useHEVC(true, {}));
    EXPECT_FALSE(useHEVC(true, {true, false, true}));
    EXPECT_FALSE(useHEVC(false, {true}));
    EXPECT_TRUE(useHEVC(true, {true, true}));
    EXPECT_FALSE(hevcHardwareDecode());

    nlohmann::json j = VideoCodec::hevc;
    EXPECT_EQ(j.dump(), "\"hevc\"");
    EXPECT_EQ(nlohmann::json::parse("\"h264\"").get<VideoCodec>(), VideoCodec::h264);
    EXPECT_THROW(nlohmann::json::parse("\"vp9\"").get<VideoCodec>(), nlohmann::json::exception);
}

}  // namespace
}  // namespace orvane
