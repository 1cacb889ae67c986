#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "OrvaneKit/protocol/Json.h"

namespace orvane {

// Message `hostStatus`: the host machine's vital signs as a viewer shows them.
struct HostStatus {
    std::string model;
    std::string osVersion;
    double uptimeSeconds = 0;
    std::optional<std::int64_t> batteryPercent;  // absent without an internal battery
    std::optional<bool> isCharging;              // absent without an internal battery
    std::optional<std::int64_t> diskFreeBytes;
    std::optional<std::int64_t> diskTotalBytes;
    std::string thermalState;  // "nominal", "fair", "serious", "critical" or "unknown"
    double memoryGB = 0;       // installed bytes / 2^30
    std::optional<std::string> macAddress;

    bool operator==(const HostStatus&) const = default;
};

// Encoding fails (json::encode gives nothing) when uptimeSeconds or memoryGB is not finite.
void toJson(json::Value& out, const HostStatus& v);
void fromJson(const json::Value& in, HostStatus& v);

}  // namespace orvane
