#include <gtest/gtest.h>

#include "OrvaneKit/crypto/MlDsa87.h"
#include "OrvaneKit/crypto/testing/DeterministicRandom.h"
#include "OrvaneKit/crypto/testing/NodeOracle.h"

namespace orvane {
namespace {

Bytes hexField(const nlohmann::json& j, const char* name) {
    return NodeOracle::hexField(j, name);
}

class OracleMlDsa87 : public ::testing::Test {
protected:
    void SetUp() override {
        if (auto why = NodeOracle::unavailableReason())
            GTEST_SKIP() << "oracle unavailable: " << *why;
        oracle_ = std::make_unique<NodeOracle>();
    }

    // A message of 0-299 bytes; every fifth case also carries a context of up to 255 bytes.
    void nextCase(int i) {
        std::uint8_t len[2];
        rng_.fill(len, 2);
        message_ = randomBytes((len[0] | len[1] << 8) % 300, rng_);
        context_ = i % 5 == 4 ? randomBytes(len[1], rng_) : Bytes{};
    }

    bool theyVerify(ByteView pk, ByteView message, ByteView sig) {
        const auto r = oracle_->call("mldsa87.verify", {{"publicKey", toHex(pk)},
                                                        {"message", toHex(message)},
                                                        {"signature", toHex(sig)},
                                                        {"context", toHex(context_)}});
        return r.at("valid").get<bool>();
    }

    std::unique_ptr<NodeOracle> oracle_;
    DeterministicRandom rng_{asBytes("oracle ml-dsa-87")};
    Bytes message_, context_;
};

// Same seed, same keys; same key and message, the same deterministic signature.
TEST_F(OracleMlDsa87, KeysAndDeterministicSignaturesMatch) {
    for (int i = 0; i < 50; ++i) {
        const Bytes seed = randomBytes(MlDsa87::seedSize, rng_);
        nextCase(i);
        const auto ours = MlDsa87::keyGen(seed);
        const auto theirs = oracle_->call("mldsa87.keygen", {{"seed", toHex(seed)}});
        ASSERT_EQ(toHex(ours.publicKey), theirs["publicKey"].get<std::string>())
            << "seed " << toHex(seed);
        ASSERT_EQ(toHex(ours.secretKey), theirs["secretKey"].get<std::string>())
            << "seed " << toHex(seed);

        const Bytes sig = MlDsa87::signDeterministic(ours.secretKey, message_, context_);
        const auto theirSig = oracle_->call("mldsa87.sign", {{"secretKey", theirs["secretKey"]},
                                                             {"message", toHex(message_)},
                                                             {"context", toHex(context_)},
                                                             {"deterministic", true}});
        EXPECT_EQ(toHex(sig), theirSig["signature"].get<std::string>()) << "seed " << toHex(seed);
    }
}

// Hedged signatures differ between implementations but each verifies in the other.
TEST_F(OracleMlDsa87, HedgedSignaturesVerifyBothWays) {
    for (int i = 0; i < 50; ++i) {
        const Bytes seed = randomBytes(MlDsa87::seedSize, rng_);
        nextCase(i);
        const auto ours = MlDsa87::keyGen(seed);
        const auto theirs = oracle_->call("mldsa87.keygen", {{"seed", toHex(seed)}});

        const Bytes ourSig = MlDsa87::sign(ours.secretKey, message_, context_);
        EXPECT_TRUE(theyVerify(ours.publicKey, message_, ourSig)) << "seed " << toHex(seed);
        Bytes otherMessage = message_;
        otherMessage.push_back(0);
        EXPECT_FALSE(theyVerify(ours.publicKey, otherMessage, ourSig)) << "seed " << toHex(seed);

        const auto theirSig = oracle_->call("mldsa87.sign", {{"secretKey", theirs["secretKey"]},
                                                             {"message", toHex(message_)},
                                                             {"context", toHex(context_)}});
        const Bytes sig = hexField(theirSig, "signature");
        EXPECT_TRUE(MlDsa87::verify(ours.publicKey, message_, sig, context_))
            << "seed " << toHex(seed);
        EXPECT_FALSE(MlDsa87::verify(ours.publicKey, otherMessage, sig, context_))
            << "seed " << toHex(seed);
    }
}

}  // namespace
}  // namespace orvane
