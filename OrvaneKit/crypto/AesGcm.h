#pragma once

#include <optional>

#include "OrvaneKit/base/Bytes.h"

namespace orvane {

// AES-256-GCM with a 12-byte nonce, optional additional data and the 16-byte tag appended.
// Throws CryptoError for a key or nonce of the wrong size.
Bytes aesGcmSeal(ByteView key32, ByteView nonce12, ByteView plaintext, ByteView aad = {});
// nullopt for a bad tag or input shorter than the tag.
std::optional<Bytes> aesGcmOpen(ByteView key32, ByteView nonce12, ByteView sealed,
                                ByteView aad = {});

}  // namespace orvane
