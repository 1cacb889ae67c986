#pragma once

#include <cstddef>

#include "OrvaneKit/base/Bytes.h"
#include "OrvaneKit/crypto/Random.h"
#include "OrvaneKit/crypto/SecureBytes.h"

namespace orvane {

// ML-DSA-87 signatures (FIPS 204): key generation from a 32-byte seed, pure signing with a
// context string (M' = 0x00 ‖ len(ctx) ‖ ctx ‖ M), and strict verification.
struct MlDsa87 {
    static constexpr std::size_t publicKeySize = 2592;
    static constexpr std::size_t secretKeySize = 4896;
    static constexpr std::size_t signatureSize = 4627;
    static constexpr std::size_t seedSize = 32;
    static constexpr std::size_t maxContextSize = 255;

    struct KeyPair {
        Bytes publicKey;
        SecureBytes secretKey;  // the expanded form; the seed is what gets stored
    };

    // Deterministic in the seed. Throws CryptoError unless the seed has 32 bytes.
    static KeyPair keyGen(ByteView seed32);

    // Hedged signing: 32 fresh random bytes mixed with the key and message (tests may pass a
    // reproducible source). Throws CryptoError for a secret key of the wrong size or a context
    // over 255 bytes.
    static Bytes sign(ByteView secretKey, ByteView message, ByteView context = {},
                      RandomSource& random = systemRandom());
    // The same with 32 zero bytes of randomness: one signature per key and message.
    static Bytes signDeterministic(ByteView secretKey, ByteView message, ByteView context = {});
    static Bytes signWithRnd(ByteView secretKey, ByteView message, ByteView context,
                             ByteView rnd32);

    // False, never an exception, for any malformed key, signature or context.
    static bool verify(ByteView publicKey, ByteView message, ByteView signature,
                       ByteView context = {});

    // Signing from a precomputed message representative μ (64 bytes), for known-answer tests.
    static Bytes signMu(ByteView secretKey, ByteView mu64, ByteView rnd32);
};

}  // namespace orvane
