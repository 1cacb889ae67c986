#pragma once

#include <array>
#include <cstdint>

#include "OrvaneKit/base/Bytes.h"

namespace orvane {

std::array<std::uint8_t, 32> sha256(ByteView data);
std::array<std::uint8_t, 64> sha512(ByteView data);
// Only for protocols that mandate it (WebSocket accept); never for security.
std::array<std::uint8_t, 20> sha1(ByteView data);
Bytes hmacSha256(ByteView key, ByteView data);

}  // namespace orvane
