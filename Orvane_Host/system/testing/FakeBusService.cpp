#include "Orvane_Host/system/testing/FakeBusService.h"

#include <systemd/sd-bus.h>

namespace orvane {

FakeBusService::FakeBusService(const std::string& address, const char* name,
                               std::vector<Object> objects, void* userdata) {
    sd_bus_new(&bus_);
    sd_bus_set_address(bus_, address.c_str());
    sd_bus_set_bus_client(bus_, 1);
    if (sd_bus_start(bus_) < 0) return;
    for (const auto& o : objects)
        if (sd_bus_add_object_vtable(bus_, nullptr, o.path, o.interface, o.vtable, userdata) < 0)
            return;
    ready_ = sd_bus_request_name(bus_, name, 0) >= 0;
    thread_ = std::thread([this] {
        while (!stop_) {
            while (sd_bus_process(bus_, nullptr) > 0) {
            }
            sd_bus_wait(bus_, 20'000);
        }
    });
}

FakeBusService::~FakeBusService() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    sd_bus_flush_close_unref(bus_);
}

}  // namespace orvane
