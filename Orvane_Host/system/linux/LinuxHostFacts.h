#pragma once

#include <filesystem>

#include "Orvane_Host/system/HostFacts.h"

namespace orvane {

// Host facts from sysfs, procfs, os-release and statvfs. Every root can be moved so tests read
// fixture trees instead of the running system's.
class LinuxHostFacts final : public HostFacts {
public:
    struct Roots {
        std::filesystem::path sys = "/sys";
        std::filesystem::path proc = "/proc";
        std::filesystem::path os = "/";    // holds etc/os-release or usr/lib/os-release
        std::filesystem::path disk = "/";  // the volume whose capacities are reported
    };

    LinuxHostFacts() = default;
    explicit LinuxHostFacts(Roots roots) : roots_(std::move(roots)) {}

    // DMI product name (PCs), else the device-tree model (boards), up to the first zero byte.
    std::string machineModel() const override;
    // PRETTY_NAME of os-release, then the kernel: "Debian GNU/Linux 12 (bookworm) (Linux 6.1.0)".
    std::string osVersion() const override;
    // /proc/uptime, else CLOCK_BOOTTIME.
    double uptimeSeconds() const override;
    // The first power supply by name of type "Battery" that powers the machine itself (scope not
    // "Device", so not a mouse or keyboard), is present and has a maximum of at least 1. Charge
    // is energy_now/energy_full, else charge_now/charge_full, else capacity/100.
    std::optional<BatteryInfo> batteryInfo() const override;
    // statvfs: free is f_bavail (what an unprivileged user may still write), total f_blocks.
    DiskCapacity diskCapacity() const override;
    // The worst level over the thermal zones that report a temperature, each judged against its
    // own trip points: at or above a critical trip 3; at or above a hot or passive trip 2;
    // within 10 °C below a passive trip 1; else 0. No readable zone gives -1.
    int thermalState() const override;
    // MemTotal of /proc/meminfo, else the page count times the page size.
    std::uint64_t physicalMemory() const override;
    // The first physical Ethernet-type interface (one with a device behind it, so no bridge,
    // veth or tunnel) with a non-zero address, wired before wireless, by name within each.
    std::optional<std::string> macAddresses() const override;

private:
    Roots roots_;
};

}  // namespace orvane
