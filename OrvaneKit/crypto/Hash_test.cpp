#include "OrvaneKit/crypto/Hash.h"

#include <gtest/gtest.h>

namespace orvane {
namespace {

TEST(Hash, KnownAnswers) {
    EXPECT_EQ(toHex(sha256(asBytes("abc"))),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(toHex(sha256({})),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(toHex(sha512(asBytes("abc"))),
              "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
              "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f");
    EXPECT_EQ(toHex(sha1(asBytes("abc"))), "a9993e364706816aba3e25717850c26c9cd0d89d");
}

TEST(Hash, HmacSha256Rfc4231) {
    EXPECT_EQ(toHex(hmacSha256(asBytes("Jefe"), asBytes("what do ya want for nothing?"))),
              "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
    // Empty key and message are valid inputs, not "reuse the previous key".
    EXPECT_EQ(toHex(hmacSha256({}, {})),
              "b613679a0814d9ec772f95d778c35fc5ff1697c493715653c6c712144292c5ad");
}

}  // namespace
}  // namespace orvane
