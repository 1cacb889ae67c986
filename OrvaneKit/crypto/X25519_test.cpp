#include "OrvaneKit/crypto/X25519.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "OrvaneKit/crypto/CryptoError.h"
#include "OrvaneKit/crypto/testing/VectorFiles.h"

namespace orvane {
namespace {

using testvectors::hex;

TEST(X25519, Rfc7748KeyExchange) {
    const Bytes alice = hex("77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a");
    const Bytes bob = hex("5dab087e624a8a4b79e17f8b83800ee66f3bb1292618b6fd1c2f8b27ff88e0eb");
    const Bytes alicePub = x25519PublicKey(alice);
    const Bytes bobPub = x25519PublicKey(bob);
    EXPECT_EQ(toHex(alicePub), "8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a");
    EXPECT_EQ(toHex(bobPub), "de9edb7d7b7dc1b4d35b61c2ece435373f8343c85b78674dadfc7e146f882b4f");
    const auto k1 = x25519SharedSecret(alice, bobPub);
    const auto k2 = x25519SharedSecret(bob, alicePub);
    ASSERT_TRUE(k1 && k2);
    EXPECT_EQ(toHex(*k1), "4a5d9d5ba4ce2de1728e3bf480350f25e07e21c947d19e3376f09b3c1e161742");
    EXPECT_EQ(k1->copyBytes(), k2->copyBytes());
    EXPECT_THROW(x25519PublicKey(Bytes(31)), CryptoError);
    EXPECT_THROW(x25519SharedSecret(alice, Bytes(33)), CryptoError);
}

// Every case gives the expected secret, except the all-zero results, which are refused.
TEST(X25519, Wycheproof) {
    const auto doc = testvectors::loadJson("wycheproof/x25519_test.json");
    int computed = 0, refused = 0;
    for (const auto& group : doc["testGroups"]) {
        if (group["curve"] != "curve25519") continue;
        for (const auto& t : group["tests"]) {
            SCOPED_TRACE("tcId " + t["tcId"].dump());
            const Bytes shared = hex(t["shared"].get<std::string>());
            const auto got = x25519SharedSecret(hex(t["private"].get<std::string>()),
                                                hex(t["public"].get<std::string>()));
            if (std::all_of(shared.begin(), shared.end(), [](std::uint8_t b) { return b == 0; })) {
                EXPECT_FALSE(got.has_value());
                ++refused;
            } else {
                ASSERT_TRUE(got.has_value());
                EXPECT_EQ(got->copyBytes(), shared);
                ++computed;
            }
        }
    }
    EXPECT_GT(computed, 400);
    EXPECT_GT(refused, 10);
}

}  // namespace
}  // namespace orvane
