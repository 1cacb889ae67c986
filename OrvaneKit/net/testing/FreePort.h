#pragma once

#include <cstdint>

namespace orvane {

// A UDP port on 127.0.0.1 that was free a moment ago: bound, read back and released, for a test
// that must name a port before the socket that will use it exists.
std::uint16_t freeUdpPort();

}  // namespace orvane
