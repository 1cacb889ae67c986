#include "OrvaneKit/media/AudioStreamFormat.h"

#include <gtest/gtest.h>

namespace orvane {
namespace {

TEST(AudioStreamFormat, WithoutCookieTheKeyIsLeftOutAndComesBackAsNone) {
    AudioStreamFormat f{44100, 1, 480, std::nullopt};
    auto j = *json::parse(*json::encodeString(f));
    EXPECT_FALSE(j.contains("magicCookie"));
    auto back = json::decode<AudioStreamFormat>(*json::encode(f));
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, f);
    EXPECT_FALSE(back->magicCookie);
}

TEST(AudioStreamFormat, HostFormatJson) {
    AudioStreamFormat f{48000, 2, 480, Bytes{0xF8, 0xE6, 0x50, 0x00}};
    auto j = *json::parse(*json::encodeString(f));
    EXPECT_EQ(j["sampleRate"], 48000);
    EXPECT_EQ(j["channels"], 2);
    EXPECT_EQ(j["framesPerPacket"], 480);
    EXPECT_EQ(j["magicCookie"], "+OZQAA==");
    EXPECT_EQ(json::decode<AudioStreamFormat>(*json::encode(f)), f);
}

TEST(AudioStreamFormat, EqualityTellsAbsentFromEmptyCookie) {
    AudioStreamFormat none{48000, 2, 480, std::nullopt};
    AudioStreamFormat empty{48000, 2, 480, Bytes{}};
    EXPECT_NE(none, empty);
    EXPECT_EQ(json::decode<AudioStreamFormat>(*json::encode(empty)), empty);
    EXPECT_NE(none, (AudioStreamFormat{48000, 2, 512, std::nullopt}));
}

TEST(AudioStreamFormat, ReadsPeerSpellings) {
    auto f = json::decode<AudioStreamFormat>(asBytes(
        R"({"framesPerPacket":480.0,"channels":2,"sampleRate":44100.5,"magicCookie":null})"));
    ASSERT_TRUE(f);
    EXPECT_EQ(f->sampleRate, 44100.5);
    EXPECT_EQ(f->framesPerPacket, 480);
    EXPECT_FALSE(f->magicCookie);
    // Negative counts parse; the decoder is the one that refuses them.
    EXPECT_TRUE(json::decode<AudioStreamFormat>(
        asBytes(R"({"sampleRate":1,"channels":-2,"framesPerPacket":-1})")));
}

TEST(AudioStreamFormat, RefusesMalformedBodies) {
    for (const char* bad : {
             "",
             "[]",
             "{",
             R"({"channels":2,"framesPerPacket":480})",
             R"({"sampleRate":"48000","channels":2,"framesPerPacket":480})",
             R"({"sampleRate":48000,"channels":2.5,"framesPerPacket":480})",
             R"({"sampleRate":48000,"channels":2,"framesPerPacket":99999999999})",
             R"({"sampleRate":48000,"channels":2,"framesPerPacket":480,"magicCookie":"+OZQAA="})",
             R"({"sampleRate":48000,"channels":2,"framesPerPacket":480,"magicCookie":"+OZQA*=="})",
             R"({"sampleRate":48000,"channels":2,"framesPerPacket":480,"magicCookie":5})",
         })
        EXPECT_FALSE(json::decode<AudioStreamFormat>(asBytes(bad))) << bad;
}

TEST(AudioStreamFormat, PcmFormatNeedsAUsableChannelCount) {
    EXPECT_EQ((AudioStreamFormat{48000, 2, 480, std::nullopt}.pcmFormat()), (PcmFormat{48000, 2}));
    EXPECT_FALSE((AudioStreamFormat{48000, -1, 480, std::nullopt}.pcmFormat()));
    EXPECT_FALSE((AudioStreamFormat{0, 2, 480, std::nullopt}.pcmFormat()));
}

}  // namespace
}  // namespace orvane
