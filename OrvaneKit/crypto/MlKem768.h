#pragma once

#include <cstddef>

#include "OrvaneKit/base/Bytes.h"
#include "OrvaneKit/crypto/Random.h"
#include "OrvaneKit/crypto/SecureBytes.h"

namespace orvane {

// ML-KEM-768 key encapsulation (FIPS 203). Wrong input lengths and encapsulation keys that fail
// the modulus check throw CryptoError; a forged ciphertext never throws but yields the
// implicit-rejection secret.
class MlKem768 {
public:
    static constexpr std::size_t encapsulationKeySize = 1184;
    static constexpr std::size_t decapsulationKeySize = 2400;
    static constexpr std::size_t ciphertextSize = 1088;
    static constexpr std::size_t sharedSecretSize = 32;
    static constexpr std::size_t seedSize = 32;

    struct KeyPair {
        Bytes encapsulationKey;        // 1,184 bytes
        SecureBytes decapsulationKey;  // 2,400 bytes
    };
    struct Encapsulation {
        Bytes ciphertext;          // 1,088 bytes
        SecureBytes sharedSecret;  // 32 bytes
    };

    MlKem768() = delete;

    // Deterministic key generation from d and z (32 bytes each).
    static KeyPair keyGenInternal(ByteView d, ByteView z);
    static KeyPair keyGen(RandomSource& random = systemRandom());

    // Length 1,184 and every 12-bit coefficient below q.
    static bool isValidEncapsulationKey(ByteView ek);

    // Deterministic encapsulation with the 32-byte message m.
    static Encapsulation encapsInternal(ByteView ek, ByteView m);
    static Encapsulation encaps(ByteView ek, RandomSource& random = systemRandom());

    // Implicit rejection, selected in constant time. Throws only for wrong lengths or a
    // decapsulation key whose embedded hash does not match its encapsulation key.
    static SecureBytes decaps(ByteView dk, ByteView c);
};

}  // namespace orvane
