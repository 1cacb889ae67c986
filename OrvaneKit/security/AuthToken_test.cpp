#include "OrvaneKit/security/AuthToken.h"

#include <gtest/gtest.h>

#include <regex>
#include <stdexcept>

namespace orvane {
namespace {

class FailingRandom final : public RandomSource {
public:
    void fill(std::uint8_t*, std::size_t) override {
        throw std::runtime_error("random source failed");
    }
};

TEST(AuthToken, Generate) {
    const std::string a = AuthToken::generate();
    const std::string b = AuthToken::generate();
    EXPECT_TRUE(std::regex_match(a, std::regex("[A-Za-z0-9+/]{43}="))) << a;
    EXPECT_TRUE(std::regex_match(b, std::regex("[A-Za-z0-9+/]{43}="))) << b;
    EXPECT_NE(a, b);
}

// A broken source must never turn into the all-zero token "AAAA…A=".
TEST(AuthToken, BrokenRandomSourceGivesNoToken) {
    FailingRandom broken;
    EXPECT_THROW(AuthToken::generate(broken), std::runtime_error);
}

TEST(AuthToken, ConstantTimeEquals) {
    struct Case {
        const char* a;
        const char* b;
        bool equal;
    };
    for (const Case& c :
         {Case{"", "", true}, Case{"abc", "abc", true}, Case{"abc", "abd", false},
          Case{"abc", "abcd", false}, Case{"", "a", false}, Case{"xbc", "abc", false}})
        EXPECT_EQ(AuthToken::constantTimeEquals(c.a, c.b), c.equal) << c.a << " / " << c.b;
    const std::string t = AuthToken::generate();
    std::string last = t;
    last.back() = last.back() == '=' ? 'A' : '=';
    EXPECT_FALSE(AuthToken::constantTimeEquals(t, last));
    EXPECT_TRUE(AuthToken::constantTimeEquals(t, std::string(t)));
}

}  // namespace
}  // namespace orvane
