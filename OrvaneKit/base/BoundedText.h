#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace orvane {

// Text a peer chose (a device name, a message) as it may be stored, shown or logged: at most
// `maxCharacters` characters, cut on a character boundary and ended with "…" when it was longer.
// Bytes that are not UTF-8 become U+FFFD. Reads no further than it keeps, so a huge input costs
// no more than a short one.
std::string boundedText(std::string_view text, std::size_t maxCharacters = 255);

}  // namespace orvane
