#include "OrvaneKit/base/Uuid.h"

#include <gtest/gtest.h>

#include <unordered_set>

namespace orvane {
namespace {

TEST(Uuid, TextFormIsUpperCaseAndParsesAnyCase) {
    auto u = Uuid::parse("00112233-4455-6677-8899-aabbccddeeff");
    ASSERT_TRUE(u);
    EXPECT_EQ(u->string(), "00112233-4455-6677-8899-AABBCCDDEEFF");
    EXPECT_EQ(u->bytes[0], 0x00);
    EXPECT_EQ(u->bytes[15], 0xFF);
    EXPECT_EQ(Uuid::parse(u->string()), u);
    EXPECT_EQ(Uuid::fromBytes(u->bytes.data()), *u);
    for (const char* bad :
         {"", "00112233-4455-6677-8899-aabbccddeef", "00112233-4455-6677-8899-aabbccddeeff0",
          "001122334-455-6677-8899-aabbccddeeff", "00112233-4455-6677-8899_aabbccddeeff",
          "0011223x-4455-6677-8899-aabbccddeeff", "00112233445566778899aabbccddeeff"})
        EXPECT_FALSE(Uuid::parse(bad)) << bad;
}

TEST(Uuid, RandomIsVersion4AndDistinct) {
    std::unordered_set<Uuid> seen;
    for (int i = 0; i < 100; ++i) {
        auto u = Uuid::random();
        EXPECT_EQ(u.bytes[6] >> 4, 4);
        EXPECT_EQ(u.bytes[8] >> 6, 2);
        EXPECT_EQ(u.string()[14], '4');
        seen.insert(u);
    }
    EXPECT_EQ(seen.size(), 100u);
    EXPECT_TRUE(Uuid{}.isNil());
}

}  // namespace
}  // namespace orvane
