#pragma once

#include <cstddef>
#include <optional>

#include "OrvaneKit/base/Bytes.h"
#include "OrvaneKit/crypto/Random.h"
#include "OrvaneKit/crypto/SecureBytes.h"
#include "OrvaneKit/crypto/X25519.h"

namespace orvane {

// X-Wing hybrid KEM: ML-KEM-768 combined with X25519, SHA3-256 combiner with the label last.
// Unusable keys and ciphertexts (wrong length, ML-KEM modulus check, a low-order X25519 point)
// throw CryptoError.
class XWing {
public:
    static constexpr std::size_t publicKeySize = 1216;   // ML-KEM ek || X25519 public key
    static constexpr std::size_t ciphertextSize = 1120;  // ML-KEM ct || X25519 ephemeral key
    static constexpr std::size_t sharedSecretSize = 32;
    static constexpr std::size_t seedSize = 32;
    static constexpr std::size_t encapsulationSeedSize = 64;

    // The private key is its 32-byte seed; the expanded parts are kept to decapsulate quickly.
    class PrivateKey {
    public:
        const Bytes& publicKey() const { return publicKey_; }
        const SecureBytes& seed() const { return seed_; }
        SecureBytes decapsulate(ByteView ciphertext) const;

    private:
        friend class XWing;
        PrivateKey() = default;

        SecureBytes seed_;
        SecureBytes mlKemDecapsulationKey_;
        std::optional<X25519PrivateKey> x25519_;
        Bytes publicKey_;
    };

    struct Encapsulation {
        Bytes ciphertext;          // 1,120 bytes
        SecureBytes sharedSecret;  // 32 bytes
    };

    XWing() = delete;

    static PrivateKey generateKeyPairDerand(ByteView seed32);
    static PrivateKey generateKeyPair(RandomSource& random = systemRandom());

    // eseed = ML-KEM's m (32 bytes) || the ephemeral X25519 secret (32 bytes).
    static Encapsulation encapsulateDerand(ByteView publicKey, ByteView eseed64);
    static Encapsulation encapsulate(ByteView publicKey, RandomSource& random = systemRandom());

    static bool isValidPublicKey(ByteView publicKey);
};

}  // namespace orvane
