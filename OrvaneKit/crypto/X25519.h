#pragma once

#include <memory>
#include <optional>

#include "OrvaneKit/base/Bytes.h"
#include "OrvaneKit/crypto/SecureBytes.h"

struct evp_pkey_st;

namespace orvane {

// X25519 (RFC 7748) on raw 32-byte keys. A key of the wrong size throws CryptoError.
Bytes x25519PublicKey(ByteView privateKey32);
// nullopt when the derivation is refused, e.g. a low-order peer key giving an all-zero secret.
std::optional<SecureBytes> x25519SharedSecret(ByteView privateKey32, ByteView peerPublicKey32);

// A parsed private key, for callers that derive more than once or also need the public key:
// parsing computes the public key, so reusing the object saves a scalar multiplication.
class X25519PrivateKey {
public:
    explicit X25519PrivateKey(ByteView privateKey32);
    const Bytes& publicKey() const { return publicKey_; }
    std::optional<SecureBytes> sharedSecret(ByteView peerPublicKey32) const;

private:
    std::shared_ptr<evp_pkey_st> key_;
    Bytes publicKey_;
};

}  // namespace orvane
