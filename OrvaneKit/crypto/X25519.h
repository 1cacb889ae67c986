#pragma once

#include <optional>

#include "OrvaneKit/base/Bytes.h"
#include "OrvaneKit/crypto/SecureBytes.h"

namespace orvane {

// X25519 (RFC 7748) on raw 32-byte keys. A key of the wrong size throws CryptoError.
Bytes x25519PublicKey(ByteView privateKey32);
// nullopt when the derivation is refused, e.g. a low-order peer key giving an all-zero secret.
std::optional<SecureBytes> x25519SharedSecret(ByteView privateKey32, ByteView peerPublicKey32);

}  // namespace orvane
