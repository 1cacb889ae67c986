#pragma once

#include <cstddef>
#include <cstdint>

#include "OrvaneKit/base/Bytes.h"

namespace orvane {

// HKDF (RFC 5869) with SHA-512, extract then expand.
Bytes hkdfSha512(ByteView ikm, ByteView salt, ByteView info, std::size_t length);

// PBKDF2 (RFC 8018) with HMAC-SHA256.
Bytes pbkdf2HmacSha256(ByteView password, ByteView salt, std::uint32_t iterations,
                       std::size_t length);

}  // namespace orvane
