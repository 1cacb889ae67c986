#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

struct sd_bus;

namespace orvane::systembus {

using Deadline = std::chrono::steady_clock::time_point;

// The given address, else $DBUS_SYSTEM_BUS_ADDRESS, else the standard socket.
std::string address(const std::optional<std::string>& given);
// Microseconds left, at least 1 so that zero never means "no timeout" to sd-bus.
std::uint64_t usecLeft(Deadline deadline);
// A bus connection that has finished its Hello, or a negative errno. Authentication and Hello
// are driven here against our own deadline: sd-bus would wait far longer for a daemon that
// accepts but never answers.
int connect(const std::string& address, Deadline deadline, sd_bus** out);

}  // namespace orvane::systembus
