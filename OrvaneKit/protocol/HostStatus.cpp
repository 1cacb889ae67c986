#include "OrvaneKit/protocol/HostStatus.h"

namespace orvane {

void toJson(json::Value& out, const HostStatus& v) {
    json::putField(out, "model", v.model);
    json::putField(out, "osVersion", v.osVersion);
    json::putField(out, "uptimeSeconds", v.uptimeSeconds);
    json::putOptional(out, "batteryPercent", v.batteryPercent);
    json::putOptional(out, "isCharging", v.isCharging);
    json::putOptional(out, "diskFreeBytes", v.diskFreeBytes);
    json::putOptional(out, "diskTotalBytes", v.diskTotalBytes);
    json::putField(out, "thermalState", v.thermalState);
    json::putField(out, "memoryGB", v.memoryGB);
    json::putOptional(out, "macAddress", v.macAddress);
}

void fromJson(const json::Value& in, HostStatus& v) {
    v.model = json::requireField<std::string>(in, "model");
    v.osVersion = json::requireField<std::string>(in, "osVersion");
    v.uptimeSeconds = json::requireField<double>(in, "uptimeSeconds");
    v.batteryPercent = json::optionalField<std::int64_t>(in, "batteryPercent");
    v.isCharging = json::optionalField<bool>(in, "isCharging");
    v.diskFreeBytes = json::optionalField<std::int64_t>(in, "diskFreeBytes");
    v.diskTotalBytes = json::optionalField<std::int64_t>(in, "diskTotalBytes");
    v.thermalState = json::requireField<std::string>(in, "thermalState");
    v.memoryGB = json::requireField<double>(in, "memoryGB");
    v.macAddress = json::optionalField<std::string>(in, "macAddress");
}

}  // namespace orvane
