#include <gtest/gtest.h>

#include "OrvaneKit/crypto/XWing.h"
#include "OrvaneKit/crypto/testing/DeterministicRandom.h"
#include "OrvaneKit/crypto/testing/NodeOracle.h"

namespace orvane {
namespace {

Bytes hexField(const nlohmann::json& j, const char* name) {
    return NodeOracle::hexField(j, name);
}

class OracleXWing : public ::testing::Test {
protected:
    void SetUp() override {
        if (auto why = NodeOracle::unavailableReason())
            GTEST_SKIP() << "oracle unavailable: " << *why;
        oracle_ = std::make_unique<NodeOracle>();
    }
    std::unique_ptr<NodeOracle> oracle_;
    DeterministicRandom rng_{asBytes("oracle x-wing")};
};

// The other implementation encapsulates to our key; we decapsulate the same secret.
TEST_F(OracleXWing, TheyEncapsulateWeDecapsulate) {
    for (int i = 0; i < 50; ++i) {
        const Bytes seed = randomBytes(32, rng_);
        const auto key = XWing::generateKeyPairDerand(seed);
        const auto theirKey = oracle_->call("xwing.keygen", {{"seed", toHex(seed)}});
        ASSERT_EQ(toHex(key.publicKey()), theirKey["publicKey"].get<std::string>())
            << "seed " << toHex(seed);

        const auto enc =
            oracle_->call("xwing.encapsulate", {{"publicKey", toHex(key.publicKey())}});
        const Bytes ct = hexField(enc, "cipherText");
        ASSERT_EQ(ct.size(), XWing::ciphertextSize);
        EXPECT_EQ(toHex(key.decapsulate(ct)), enc["sharedSecret"].get<std::string>())
            << "seed " << toHex(seed);
    }
}

// We encapsulate to their key (from a seed of theirs); they decapsulate the same secret.
TEST_F(OracleXWing, WeEncapsulateTheyDecapsulate) {
    for (int i = 0; i < 50; ++i) {
        const Bytes seed = randomBytes(32, rng_);
        const auto theirKey = oracle_->call("xwing.keygen", {{"seed", toHex(seed)}});
        const Bytes pk = hexField(theirKey, "publicKey");
        const auto enc = XWing::encapsulate(pk, rng_);
        const auto dec = oracle_->call("xwing.decapsulate", {{"cipherText", toHex(enc.ciphertext)},
                                                             {"secretKey", theirKey["secretKey"]}});
        EXPECT_EQ(dec["sharedSecret"].get<std::string>(), toHex(enc.sharedSecret))
            << "seed " << toHex(seed);
    }
}

}  // namespace
}  // namespace orvane
