#include "OrvaneKit/base/BoundedText.h"

#include <gtest/gtest.h>

using namespace orvane;

TEST(BoundedText, CutsOnCharacterBoundariesWithAnEllipsis) {
    const std::string e = "\xE2\x80\xA6";
    struct Case {
        std::string in;
        std::size_t max;
        std::string want;
    } cases[] = {
        {"Ann's iPad", 255, "Ann's iPad"},
        {"abcdef", 6, "abcdef"},
        {"abcdefg", 6, "abcde" + e},
        {"", 3, ""},
        // Multi-byte characters count once and are never split.
        {"w\xC3\xB6rld\xF0\x9F\x98\x80!", 7, "w\xC3\xB6rld\xF0\x9F\x98\x80!"},
        {"\xF0\x9F\x98\x80\xF0\x9F\x98\x80\xF0\x9F\x98\x80", 2, "\xF0\x9F\x98\x80" + e},
        {"\xC3\xB6\xC3\xB6\xC3\xB6", 2, "\xC3\xB6" + e},
        // Bytes that are not UTF-8 (a lone continuation, a cut sequence, an overlong form, a
        // surrogate) become U+FFFD, one per byte.
        {"a\x80z", 10, "a\xEF\xBF\xBDz"},
        {"a\xE2\x80", 10, "a\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"\xC0\xAF", 10, "\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"\xED\xA0\x80", 10, "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
    };
    for (const auto& c : cases) EXPECT_EQ(boundedText(c.in, c.max), c.want) << c.in;
}

TEST(BoundedText, AHugeNameStaysWithinTheCap) {
    std::string huge(2'000'000, 'x');
    std::string out = boundedText(huge);
    EXPECT_EQ(out.size(), 254u + 3u);
    EXPECT_EQ(out.substr(254), "\xE2\x80\xA6");
}
