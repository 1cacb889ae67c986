#include "Orvane_Host/session/HostStatusBuilder.h"

#include <cmath>

namespace orvane {

HostStatusBuilder::HostStatusBuilder(const HostFacts& facts, const Clock& clock)
    : facts_(facts), disk_(clock, [&facts] { return facts.diskCapacity(); }) {}

std::string HostStatusBuilder::thermalStateText(int state) {
    switch (state) {
        case 0:
            return "nominal";
        case 1:
            return "fair";
        case 2:
            return "serious";
        case 3:
            return "critical";
        default:
            return "unknown";
    }
}

HostStatus HostStatusBuilder::makeHostStatus() {
    HostStatus s;
    if (auto battery = facts_.batteryInfo()) {
        s.batteryPercent = battery->percent;
        s.isCharging = battery->charging;
    }
    const DiskCapacity disk = disk_.read();
    s.diskFreeBytes = disk.free;
    s.diskTotalBytes = disk.total;
    s.model = facts_.machineModel();
    s.osVersion = facts_.osVersion();
    // A non-finite number would make the whole message unencodable.
    const double uptime = facts_.uptimeSeconds();
    s.uptimeSeconds = std::isfinite(uptime) ? uptime : 0;
    s.thermalState = thermalStateText(facts_.thermalState());
    s.memoryGB = static_cast<double>(facts_.physicalMemory()) / 1073741824.0;
    s.macAddress = facts_.macAddresses();
    return s;
}

}  // namespace orvane
