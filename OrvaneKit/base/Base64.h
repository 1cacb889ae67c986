#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "OrvaneKit/base/Bytes.h"

namespace orvane {

// Standard alphabet with '=' padding.
std::string base64Encode(ByteView data);
// Strict: standard alphabet only, length a multiple of 4, padding only at the end, no
// whitespace. Nothing for any other text.
std::optional<Bytes> base64Decode(std::string_view text);

}  // namespace orvane
