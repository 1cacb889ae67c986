#include "Orvane_Host/system/dbus/SystemBus.h"

#include <systemd/sd-bus.h>

#include <cerrno>
#include <cstdlib>

namespace orvane::systembus {

std::string address(const std::optional<std::string>& given) {
    if (given) return *given;
    if (const char* env = std::getenv("DBUS_SYSTEM_BUS_ADDRESS"); env && *env) return env;
    return "unix:path=/run/dbus/system_bus_socket";
}

std::uint64_t usecLeft(Deadline deadline) {
    auto left = std::chrono::duration_cast<std::chrono::microseconds>(
        deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<std::uint64_t>(left.count()) : 1;
}

int connect(const std::string& address, Deadline deadline, sd_bus** out) {
    sd_bus* b = nullptr;
    int r = sd_bus_new(&b);
    if (r >= 0) r = sd_bus_set_address(b, address.c_str());
    if (r >= 0) r = sd_bus_set_bus_client(b, 1);
    if (r >= 0) r = sd_bus_start(b);
    while (r >= 0 && (r = sd_bus_is_ready(b)) == 0) {
        r = sd_bus_process(b, nullptr);
        if (r == 0)
            r = std::chrono::steady_clock::now() >= deadline ? -ETIMEDOUT
                                                             : sd_bus_wait(b, usecLeft(deadline));
    }
    if (r < 0) {
        if (b) sd_bus_close_unref(b);
        return r;
    }
    *out = b;
    return 0;
}

}  // namespace orvane::systembus
