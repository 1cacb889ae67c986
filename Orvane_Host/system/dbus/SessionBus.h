#pragma once

#include <optional>
#include <string>

struct sd_bus;

namespace orvane::sessionbus {

// A connection to the bus at `address`, else to the user's session bus; 0 or a negative errno.
int open(const std::optional<std::string>& address, sd_bus** out);

}  // namespace orvane::sessionbus
