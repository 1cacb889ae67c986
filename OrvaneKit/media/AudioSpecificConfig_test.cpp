#include "OrvaneKit/media/AudioSpecificConfig.h"

#include <gtest/gtest.h>

namespace orvane {
namespace {

TEST(AudioSpecificConfig, KnownConfigurations) {
    struct Case {
        double rate;
        int channels;
        const char* hex;
    };
    for (Case c :
         {Case{48000, 2, "f8e65000"}, Case{44100, 2, "f8e85000"}, Case{48000, 1, "f8e63000"}}) {
        auto config = AudioSpecificConfig::make(c.rate, c.channels);
        ASSERT_TRUE(config);
        Bytes bytes = config->serialize();
        EXPECT_EQ(toHex(bytes), c.hex);
        EXPECT_EQ(AudioSpecificConfig::parse(bytes), config);
    }
    EXPECT_FALSE(AudioSpecificConfig::make(47999, 2));
    EXPECT_FALSE(AudioSpecificConfig::make(48000, 3));
}

TEST(AudioSpecificConfig, RefusesWhatWouldNotPlay) {
    for (const char* hex : {
             "1190",      // plain AAC-LC
             "f8e61000",  // channel configuration 0
             "f8e65100",  // low-delay SBR
             "f8e65800",  // section data resilience
             "f8e65400",  // scalefactor data resilience
             "f8e65004",  // epConfig 1
             "f8fa5000",  // sampling index 13
             "f8e650",    // cut short
             "",
         })
        EXPECT_FALSE(AudioSpecificConfig::parse(*fromHex(hex))) << hex;
    // An extension with its own length is skipped.
    EXPECT_TRUE(AudioSpecificConfig::parse(*fromHex("f8e65021ab00")));
}

TEST(AudioSpecificConfig, CookieInEsDescriptorFormOrRaw) {
    Bytes asc = *fromHex("f8e65000");
    Bytes cookie = AudioSpecificConfig::wrapInEsDescriptor(asc, 128000);
    EXPECT_EQ(toHex(cookie),
              "03808080"
              "24"
              "000000"
              "04808080"
              "16"
              "4015"
              "000600"
              "0001f400"
              "0001f400"
              "05808080"
              "04"
              "f8e65000"
              "06808080"
              "01"
              "02");
    EXPECT_EQ(AudioSpecificConfig::fromCookie(cookie), asc);
    EXPECT_EQ(AudioSpecificConfig::fromCookie(asc), asc);
    // Short length form and an ES with an OCR stream id.
    EXPECT_EQ(AudioSpecificConfig::fromCookie(
                  *fromHex("031b0000200001041340150006000001f4000001f4000504f8e65000")),
              std::nullopt);  // declared ES length runs past the end
    EXPECT_EQ(AudioSpecificConfig::fromCookie(
                  *fromHex("031a0000200001041340150006000001f4000001f4000504f8e65000")),
              asc);
    EXPECT_FALSE(AudioSpecificConfig::fromCookie(*fromHex("0380808022")));
    EXPECT_FALSE(AudioSpecificConfig::fromCookie({}));
}

}  // namespace
}  // namespace orvane
