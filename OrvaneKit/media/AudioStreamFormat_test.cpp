#include "OrvaneKit/media/AudioStreamFormat.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace orvane {
namespace {

TEST(AudioStreamFormat, WithoutCookieTheKeyIsLeftOutAndComesBackAsNone) {
    AudioStreamFormat f{44100, 1, 480, std::nullopt};
    auto j = nlohmann::json::parse(f.toJson());
    EXPECT_FALSE(j.contains("magicCookie"));
    auto back = AudioStreamFormat::fromJson(f.toJson());
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, f);
    EXPECT_FALSE(back->magicCookie);
}

TEST(AudioStreamFormat, HostFormatJson) {
    AudioStreamFormat f{48000, 2, 480, Bytes{0xF8, 0xE6, 0x50, 0x00}};
    auto j = nlohmann::json::parse(f.toJson());
    EXPECT_EQ(j["sampleRate"], 48000);
    EXPECT_EQ(j["channels"], 2);
    EXPECT_EQ(j["framesPerPacket"], 480);
    EXPECT_EQ(j["magicCookie"], "+OZQAA==");
    EXPECT_EQ(AudioStreamFormat::fromJson(f.toJson()), f);
}

TEST(AudioStreamFormat, EqualityTellsAbsentFromEmptyCookie) {
    AudioStreamFormat none{48000, 2, 480, std::nullopt};
    AudioStreamFormat empty{48000, 2, 480, Bytes{}};
    EXPECT_NE(none, empty);
    EXPECT_EQ(AudioStreamFormat::fromJson(empty.toJson()), empty);
    EXPECT_NE(none, (AudioStreamFormat{48000, 2, 512, std::nullopt}));
}

TEST(AudioStreamFormat, ReadsPeerSpellings) {
    auto f = AudioStreamFormat::fromJson(
        R"({"framesPerPacket":480.0,"channels":2,"sampleRate":44100.5,"magicCookie":null})");
    ASSERT_TRUE(f);
    EXPECT_EQ(f->sampleRate, 44100.5);
    EXPECT_EQ(f->framesPerPacket, 480);
    EXPECT_FALSE(f->magicCookie);
    // Negative counts parse; the decoder is the one that refuses them.
    EXPECT_TRUE(
        AudioStreamFormat::fromJson(R"({"sampleRate":1,"channels":-2,"framesPerPacket":-1})"));
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
        EXPECT_FALSE(AudioStreamFormat::fromJson(bad)) << bad;
}

TEST(AudioStreamFormat, Base64RoundTripsEveryLength) {
    Bytes data;
    for (int n = 0; n < 10; ++n) {
        EXPECT_EQ(base64Decode(base64Encode(data)), data);
        data.push_back(static_cast<uint8_t>(0xF7 * n + 3));
    }
    EXPECT_EQ(base64Encode(toBytes("foob")), "Zm9vYg==");
    EXPECT_FALSE(base64Decode("Zm9vYh=="));  // stray bits under the padding
    EXPECT_FALSE(base64Decode("Zm9=Yg=="));
}

TEST(AudioStreamFormat, PcmFormatNeedsAUsableChannelCount) {
    EXPECT_EQ((AudioStreamFormat{48000, 2, 480, std::nullopt}.pcmFormat()), (PcmFormat{48000, 2}));
    EXPECT_FALSE((AudioStreamFormat{48000, -1, 480, std::nullopt}.pcmFormat()));
    EXPECT_FALSE((AudioStreamFormat{0, 2, 480, std::nullopt}.pcmFormat()));
}

}  // namespace
}  // namespace orvane
