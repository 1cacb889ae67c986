#include "OrvaneKit/base/Base64.h"

#include <gtest/gtest.h>

namespace orvane {
namespace {

TEST(Base64, KnownAnswers) {
    struct Case {
        const char* plain;
        const char* encoded;
    } cases[] = {{"", ""},
                 {"f", "Zg=="},
                 {"fo", "Zm8="},
                 {"foo", "Zm9v"},
                 {"foob", "Zm9vYg=="},
                 {"fooba", "Zm9vYmE="},
                 {"foobar", "Zm9vYmFy"}};
    for (const auto& c : cases) {
        EXPECT_EQ(base64Encode(asBytes(c.plain)), c.encoded);
        EXPECT_EQ(base64Decode(c.encoded), toBytes(c.plain));
    }
    Bytes all(256);
    for (int i = 0; i < 256; ++i) all[i] = static_cast<std::uint8_t>(i);
    EXPECT_EQ(base64Decode(base64Encode(all)), all);
}

TEST(Base64, StrictDecoding) {
    for (const char* bad :
         {"Zg", "Zg=", "Zg===", "Z===", "=Zg=", "Zg==Zm8=", "Zm9v\n", " Zm9v", "Zm-v", "Zm_v"})
        EXPECT_FALSE(base64Decode(bad)) << bad;
}

}  // namespace
}  // namespace orvane
