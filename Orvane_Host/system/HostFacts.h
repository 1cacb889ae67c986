#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace orvane {

struct BatteryInfo {
    std::int64_t percent = 0;
    bool charging = false;
    bool operator==(const BatteryInfo&) const = default;
};

struct DiskCapacity {
    std::optional<std::int64_t> free;   // bytes an ordinary user may still write
    std::optional<std::int64_t> total;  // size of the volume
    bool operator==(const DiskCapacity&) const = default;
};

// What the machine says about itself, for the host status viewers show. Every source may fail
// quietly: the result then says "unknown" in its own way (empty text, nullopt, -1). All members
// are callable from any thread.
class HostFacts {
public:
    virtual ~HostFacts() = default;

    // The hardware model name; empty when unknown.
    virtual std::string machineModel() const = 0;
    // The operating system's name and version, one line.
    virtual std::string osVersion() const = 0;
    // Time since boot, suspension included.
    virtual double uptimeSeconds() const = 0;
    // The machine's own battery; nullopt on a machine without one.
    virtual std::optional<BatteryInfo> batteryInfo() const = 0;
    // The capacities of the boot volume. Slow: callers cache it.
    virtual DiskCapacity diskCapacity() const = 0;
    // 0 nominal, 1 fair, 2 serious, 3 critical; any other value is unknown.
    virtual int thermalState() const = 0;
    // Physical memory in bytes.
    virtual std::uint64_t physicalMemory() const = 0;
    // The hardware address viewers use to wake the machine, as "aa:bb:cc:dd:ee:ff".
    virtual std::optional<std::string> macAddresses() const = 0;
};

}  // namespace orvane
