#include "Orvane_Host/system/dbus/SessionBus.h"

#include <systemd/sd-bus.h>

namespace orvane::sessionbus {

int open(const std::optional<std::string>& address, sd_bus** out) {
    if (!address) return sd_bus_open_user(out);
    sd_bus* b = nullptr;
    int r = sd_bus_new(&b);
    if (r >= 0) r = sd_bus_set_address(b, address->c_str());
    if (r >= 0) r = sd_bus_set_bus_client(b, 1);
    if (r >= 0) r = sd_bus_start(b);
    if (r < 0) {
        if (b) sd_bus_unref(b);
        return r;
    }
    *out = b;
    return 0;
}

}  // namespace orvane::sessionbus
