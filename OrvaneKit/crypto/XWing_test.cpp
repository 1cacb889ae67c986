#include "OrvaneKit/crypto/XWing.h"

#include <gtest/gtest.h>

#include "OrvaneKit/crypto/CryptoError.h"
#include "OrvaneKit/crypto/testing/DeterministicRandom.h"
#include "OrvaneKit/crypto/testing/VectorFiles.h"

namespace orvane {
namespace {

using testvectors::hex;

TEST(XWing, KnownAnswerVectors) {
    const auto vectors = testvectors::loadJson("xwing/test-vectors.json");
    ASSERT_EQ(vectors.size(), 3u);
    for (const auto& v : vectors) {
        const auto key = XWing::generateKeyPairDerand(hex(v["seed"].get<std::string>()));
        EXPECT_EQ(toHex(key.publicKey()), v["pk"].get<std::string>());

        const auto enc = XWing::encapsulateDerand(hex(v["pk"].get<std::string>()),
                                                  hex(v["eseed"].get<std::string>()));
        EXPECT_EQ(toHex(enc.ciphertext), v["ct"].get<std::string>());
        EXPECT_EQ(toHex(enc.sharedSecret), v["ss"].get<std::string>());

        const auto fromSk = XWing::generateKeyPairDerand(hex(v["sk"].get<std::string>()));
        EXPECT_EQ(toHex(fromSk.decapsulate(hex(v["ct"].get<std::string>()))),
                  v["ss"].get<std::string>());
    }
}

TEST(XWing, RandomRoundTrip) {
    DeterministicRandom rng(asBytes("xwing"));
    for (int i = 0; i < 5; ++i) {
        const auto key = XWing::generateKeyPair(rng);
        ASSERT_EQ(key.publicKey().size(), XWing::publicKeySize);
        ASSERT_TRUE(XWing::isValidPublicKey(key.publicKey()));
        const auto enc = XWing::encapsulate(key.publicKey(), rng);
        ASSERT_EQ(enc.ciphertext.size(), XWing::ciphertextSize);
        EXPECT_EQ(key.decapsulate(enc.ciphertext).copyBytes(), enc.sharedSecret.copyBytes());
    }
    // The system source works too.
    const auto key = XWing::generateKeyPair();
    const auto enc = XWing::encapsulate(key.publicKey());
    EXPECT_EQ(key.decapsulate(enc.ciphertext).copyBytes(), enc.sharedSecret.copyBytes());
}

TEST(XWing, UnusableInputsThrow) {
    DeterministicRandom rng;
    const auto key = XWing::generateKeyPair(rng);
    const Bytes& pk = key.publicKey();
    const Bytes eseed(64, 7);

    EXPECT_THROW(XWing::generateKeyPairDerand(Bytes(31)), CryptoError);
    EXPECT_THROW(XWing::encapsulateDerand(ByteView(pk).first(1215), eseed), CryptoError);
    EXPECT_THROW(XWing::encapsulateDerand(pk, ByteView(eseed).first(63)), CryptoError);

    // An ML-KEM coefficient of 4095 fails the modulus check.
    Bytes unreduced = pk;
    unreduced[0] = 0xff;
    unreduced[1] |= 0x0f;
    EXPECT_FALSE(XWing::isValidPublicKey(unreduced));
    EXPECT_THROW(XWing::encapsulateDerand(unreduced, eseed), CryptoError);

    // A low-order X25519 point (0) gives an all-zero secret, which is refused both ways.
    Bytes lowOrder = pk;
    std::fill(lowOrder.end() - 32, lowOrder.end(), 0);
    EXPECT_THROW(XWing::encapsulateDerand(lowOrder, eseed), CryptoError);
    auto enc = XWing::encapsulate(pk, rng);
    std::fill(enc.ciphertext.end() - 32, enc.ciphertext.end(), 0);
    EXPECT_THROW(key.decapsulate(enc.ciphertext), CryptoError);

    EXPECT_THROW(key.decapsulate(ByteView(enc.ciphertext).first(1119)), CryptoError);
}

TEST(XWing, TamperedMlKemCiphertextGivesAnotherSecret) {
    DeterministicRandom rng(asBytes("tamper"));
    const auto key = XWing::generateKeyPair(rng);
    auto enc = XWing::encapsulate(key.publicKey(), rng);
    enc.ciphertext[100] ^= 0x01;
    EXPECT_NE(key.decapsulate(enc.ciphertext).copyBytes(), enc.sharedSecret.copyBytes());
}

}  // namespace
}  // namespace orvane
