#include "OrvaneKit/crypto/MlKem768.h"

#include <gtest/gtest.h>

#include <cmath>

#if __has_include(<valgrind/memcheck.h>)
#include <valgrind/memcheck.h>
#define ORVANE_HAVE_MEMCHECK 1
#endif

#include "OrvaneKit/crypto/CryptoError.h"
#include "OrvaneKit/crypto/Keccak.h"
#include "OrvaneKit/crypto/testing/DeterministicRandom.h"
#include "OrvaneKit/crypto/testing/VectorFiles.h"

namespace orvane {
namespace mlkemdetail {
std::uint16_t compress(std::uint16_t x, int d);
std::uint16_t decompress(std::uint16_t y, int d);
}  // namespace mlkemdetail

namespace {

using testvectors::hex;

Bytes bytesOf(const SecureBytes& s) {
    return s.copyBytes();
}

TEST(MlKem768, CompressionMatchesExactRounding) {
    for (int d : {1, 4, 10}) {
        for (std::uint32_t x = 0; x < 3329; ++x) {
            // round(2^d x / q) with exact integer arithmetic (q is odd: no ties).
            const std::uint32_t expected = ((x << (d + 1)) + 3329) / (2 * 3329) % (1u << d);
            ASSERT_EQ(mlkemdetail::compress(static_cast<std::uint16_t>(x), d), expected)
                << d << " " << x;
        }
        for (std::uint32_t y = 0; y < (1u << d); ++y) {
            // round(q y / 2^d), halves up.
            const std::uint32_t expected = (2 * 3329 * y + (1u << d)) / (2u << d);
            ASSERT_EQ(mlkemdetail::decompress(static_cast<std::uint16_t>(y), d), expected)
                << d << " " << y;
        }
    }
}

TEST(MlKem768, WycheproofKeyGenFromSeed) {
    const auto doc = testvectors::loadJson("wycheproof/mlkem_768_keygen_seed_test.json");
    int checked = 0;
    for (const auto& group : doc["testGroups"]) {
        if (group["parameterSet"] != "ML-KEM-768") continue;
        for (const auto& t : group["tests"]) {
            const Bytes seed = hex(t["seed"].get<std::string>());
            ASSERT_EQ(seed.size(), 64u);
            const auto kp =
                MlKem768::keyGenInternal(ByteView(seed).first(32), ByteView(seed).subspan(32));
            EXPECT_EQ(toHex(kp.encapsulationKey), t["ek"].get<std::string>())
                << "tcId " << t["tcId"];
            EXPECT_EQ(toHex(kp.decapsulationKey), t["dk"].get<std::string>())
                << "tcId " << t["tcId"];
            ++checked;
        }
    }
    EXPECT_GT(checked, 0);
}

// Seeds give the key pair; decapsulation gives K (valid and implicitly rejected ciphertexts);
// wrong seed and ciphertext lengths are refused.
TEST(MlKem768, WycheproofDecapsulation) {
    const auto doc = testvectors::loadJson("wycheproof/mlkem_768_test.json");
    int valid = 0, invalid = 0;
    for (const auto& group : doc["testGroups"]) {
        if (group["parameterSet"] != "ML-KEM-768") continue;
        for (const auto& t : group["tests"]) {
            SCOPED_TRACE("tcId " + t["tcId"].dump());
            const Bytes seed = hex(t["seed"].get<std::string>());
            const Bytes c = hex(t["c"].get<std::string>());
            if (t["result"] == "valid") {
                const auto kp =
                    MlKem768::keyGenInternal(ByteView(seed).first(32), ByteView(seed).subspan(32));
                EXPECT_EQ(toHex(kp.encapsulationKey), t["ek"].get<std::string>());
                EXPECT_EQ(toHex(MlKem768::decaps(kp.decapsulationKey, c)),
                          t["K"].get<std::string>());
                ++valid;
            } else {
                // The seed is d || z: any other length is refused before decapsulation;
                // a wrong ciphertext length is refused by decapsulation.
                if (seed.size() != 64) {
                    const std::size_t half = seed.size() / 2;
                    EXPECT_THROW(MlKem768::keyGenInternal(ByteView(seed).first(half),
                                                          ByteView(seed).subspan(half)),
                                 CryptoError);
                } else {
                    const auto kp = MlKem768::keyGenInternal(ByteView(seed).first(32),
                                                             ByteView(seed).subspan(32));
                    EXPECT_THROW(MlKem768::decaps(kp.decapsulationKey, c), CryptoError);
                }
                ++invalid;
            }
        }
    }
    EXPECT_GT(valid, 100);
    EXPECT_GT(invalid, 20);
}

TEST(MlKem768, WycheproofEncapsulation) {
    const auto doc = testvectors::loadJson("wycheproof/mlkem_768_encaps_test.json");
    int valid = 0, invalid = 0;
    for (const auto& group : doc["testGroups"]) {
        if (group["parameterSet"] != "ML-KEM-768") continue;
        for (const auto& t : group["tests"]) {
            SCOPED_TRACE("tcId " + t["tcId"].dump());
            const Bytes ek = hex(t["ek"].get<std::string>());
            const Bytes m = hex(t["m"].get<std::string>());
            if (t["result"] == "valid") {
                ASSERT_TRUE(MlKem768::isValidEncapsulationKey(ek));
                const auto enc = MlKem768::encapsInternal(ek, m);
                EXPECT_EQ(toHex(enc.ciphertext), t["c"].get<std::string>());
                EXPECT_EQ(toHex(enc.sharedSecret), t["K"].get<std::string>());
                ++valid;
            } else {
                EXPECT_FALSE(MlKem768::isValidEncapsulationKey(ek));
                EXPECT_THROW(MlKem768::encapsInternal(ek, m), CryptoError);
                ++invalid;
            }
        }
    }
    EXPECT_GT(valid, 100);
    EXPECT_GT(invalid, 100);
}

TEST(MlKem768, ModulusVectorsAreRejected) {
    const auto lines = testvectors::gzipLines("ml-kem-768/modulus-ML-KEM-768.txt.gz");
    ASSERT_GT(lines.size(), 100u);
    const Bytes m(32, 0x42);
    for (const auto& line : lines) {
        const Bytes ek = hex(line);
        ASSERT_EQ(ek.size(), MlKem768::encapsulationKeySize);
        EXPECT_FALSE(MlKem768::isValidEncapsulationKey(ek));
        EXPECT_THROW(MlKem768::encapsInternal(ek, m), CryptoError);
    }
}

TEST(MlKem768, RoundTripAndImplicitRejection) {
    DeterministicRandom rng(asBytes("round trip"));
    for (int i = 0; i < 20; ++i) {
        const auto kp = MlKem768::keyGen(rng);
        const auto enc = MlKem768::encaps(kp.encapsulationKey, rng);
        EXPECT_EQ(bytesOf(MlKem768::decaps(kp.decapsulationKey, enc.ciphertext)),
                  bytesOf(enc.sharedSecret));

        // Any altered byte gives J(z || c'), never the real key and never an error.
        Bytes forged = enc.ciphertext;
        forged[static_cast<std::size_t>(i * 53) % forged.size()] ^=
            static_cast<std::uint8_t>(1u << (i % 8));
        const Bytes z(kp.decapsulationKey.view().last(32).begin(),
                      kp.decapsulationKey.view().last(32).end());
        Bytes zc = z;
        append(zc, forged);
        EXPECT_EQ(bytesOf(MlKem768::decaps(kp.decapsulationKey, forged)), shake256(zc, 32));
    }
}

// The portable arithmetic and hashing give the same bytes as the vector ones, for key
// generation, encapsulation and both kinds of decapsulation.
TEST(MlKem768, PortablePathMatchesVectorPath) {
    if (!simdEnabled()) GTEST_SKIP() << "this CPU has no AVX2: only the portable path runs";
    struct Outcome {
        Bytes ek, dk, c, k, kGenuine, kForged;
        bool operator==(const Outcome&) const = default;
    };
    const auto run = [](bool simd, int i) {
        setSimdEnabled(simd);
        DeterministicRandom rng(asBytes("paths " + std::to_string(i)));
        const Bytes d = randomBytes(32, rng), z = randomBytes(32, rng), m = randomBytes(32, rng);
        const auto kp = MlKem768::keyGenInternal(d, z);
        const auto enc = MlKem768::encapsInternal(kp.encapsulationKey, m);
        Bytes forged = enc.ciphertext;
        forged[static_cast<std::size_t>(i * 97) % forged.size()] ^= 0x04;
        return Outcome{kp.encapsulationKey,
                       bytesOf(kp.decapsulationKey),
                       enc.ciphertext,
                       bytesOf(enc.sharedSecret),
                       bytesOf(MlKem768::decaps(kp.decapsulationKey, enc.ciphertext)),
                       bytesOf(MlKem768::decaps(kp.decapsulationKey, forged))};
    };
    for (int i = 0; i < 40; ++i) {
        const Outcome portable = run(false, i);
        const Outcome vector = run(true, i);
        ASSERT_TRUE(portable == vector) << "case " << i;
        EXPECT_EQ(vector.k, vector.kGenuine);
    }
    setSimdEnabled(true);
}

TEST(MlKem768, BadInputLengthsThrow) {
    DeterministicRandom rng;
    const auto kp = MlKem768::keyGen(rng);
    const auto enc = MlKem768::encaps(kp.encapsulationKey, rng);
    EXPECT_THROW(MlKem768::encapsInternal(ByteView(kp.encapsulationKey).first(1183), Bytes(32)),
                 CryptoError);
    EXPECT_THROW(MlKem768::encapsInternal(kp.encapsulationKey, Bytes(31)), CryptoError);
    EXPECT_THROW(MlKem768::decaps(kp.decapsulationKey.view().first(2399), enc.ciphertext),
                 CryptoError);
    EXPECT_THROW(MlKem768::decaps(kp.decapsulationKey, ByteView(enc.ciphertext).first(1087)),
                 CryptoError);
    // A decapsulation key whose embedded key hash does not match.
    SecureBytes damaged = kp.decapsulationKey.clone();
    damaged[1152 + 5] ^= 1;
    EXPECT_THROW(MlKem768::decaps(damaged, enc.ciphertext), CryptoError);
}

// Under valgrind memcheck, secrets marked undefined turn every branch and every memory index
// that depends on them into a reported error, so this checks for timing leaks.
TEST(MlKem768, NoSecretDependentBranchesOrIndices) {
#ifndef ORVANE_HAVE_MEMCHECK
    GTEST_SKIP() << "valgrind headers not installed";
#else
    if (!RUNNING_ON_VALGRIND) GTEST_SKIP() << "meaningful only under valgrind memcheck";
    DeterministicRandom rng(asBytes("constant time"));
    const auto kp = MlKem768::keyGen(rng);
    const auto genuine = MlKem768::encaps(kp.encapsulationKey, rng);
    Bytes forged = genuine.ciphertext;
    forged[7] ^= 0x10;

    const unsigned long errorsBefore = VALGRIND_COUNT_ERRORS;
    // The vector code where the CPU has it, and the portable code.
    for (bool simd : {true, false}) {
        setSimdEnabled(simd);
        // Encapsulation with a secret message.
        Bytes m = randomBytes(32, rng);
        VALGRIND_MAKE_MEM_UNDEFINED(m.data(), m.size());
        auto enc = MlKem768::encapsInternal(kp.encapsulationKey, m);
        VALGRIND_MAKE_MEM_DEFINED(enc.ciphertext.data(), enc.ciphertext.size());
        VALGRIND_MAKE_MEM_DEFINED(enc.sharedSecret.data(), enc.sharedSecret.size());

        // Decapsulation with the secret vector s and the rejection seed z marked secret; the
        // embedded encapsulation key and its hash are public.
        SecureBytes dk = kp.decapsulationKey.clone();
        VALGRIND_MAKE_MEM_UNDEFINED(dk.data(), 1152);
        VALGRIND_MAKE_MEM_UNDEFINED(dk.data() + dk.size() - 32, 32);
        for (const Bytes* c : {&genuine.ciphertext, static_cast<const Bytes*>(&forged)}) {
            SecureBytes k = MlKem768::decaps(dk, *c);
            VALGRIND_MAKE_MEM_DEFINED(k.data(), k.size());
            EXPECT_EQ(k.size(), 32u);
        }
    }
    setSimdEnabled(true);
    EXPECT_EQ(VALGRIND_COUNT_ERRORS, errorsBefore)
        << "secret-dependent branch or index (see valgrind output)";
#endif
}

// 10,000 key generations, encapsulations and decapsulations (genuine and random ciphertexts),
// hashed together and compared with a value from an independent implementation.
TEST(SlowMlKem768, Accumulated10000) {
    Keccak rng(Keccak::Kind::shake128);
    Keccak acc(Keccak::Kind::shake128);
    Bytes d(32), z(32), m(32), ct(MlKem768::ciphertextSize);
    for (int i = 0; i < 10000; ++i) {
        rng.squeeze(d.data(), d.size());
        rng.squeeze(z.data(), z.size());
        rng.squeeze(m.data(), m.size());
        rng.squeeze(ct.data(), ct.size());
        const auto kp = MlKem768::keyGenInternal(d, z);
        acc.absorb(kp.encapsulationKey);
        acc.absorb(kp.decapsulationKey);
        const auto enc = MlKem768::encapsInternal(kp.encapsulationKey, m);
        acc.absorb(enc.ciphertext);
        acc.absorb(enc.sharedSecret);
        ASSERT_EQ(bytesOf(MlKem768::decaps(kp.decapsulationKey, enc.ciphertext)),
                  bytesOf(enc.sharedSecret))
            << "case " << i;
        acc.absorb(MlKem768::decaps(kp.decapsulationKey, ct));
    }
    EXPECT_EQ(toHex(acc.squeeze(32)),
              "f959d18d3d1180121433bf0e05f11e7908cf9d03edc150b2b07cb90bef5bc1c1");
}

}  // namespace
}  // namespace orvane
