#include "Orvane_Host/session/TrustedDevice.h"

#include "OrvaneKit/base/Logger.h"

namespace orvane {

void toJson(json::Value& out, const TrustedDevice& v) {
    out = json::Value::object();
    json::putField(out, "id", v.id);
    json::putField(out, "name", v.name);
    json::putField(out, "platform", v.platform);
}

void fromJson(const json::Value& in, TrustedDevice& v) {
    json::requireObject(in);
    v.id = json::requireField<std::string>(in, "id");
    v.name = json::requireField<std::string>(in, "name");
    v.platform = json::requireField<ClientPlatform>(in, "platform");
}

std::vector<TrustedDevice> TrustedDevice::load(SettingsStore& settings) {
    if (!settings.hasStoredValue(settingsKey)) return {};
    auto data = settings.data(settingsKey);
    std::string why = "not a data value";
    std::optional<std::vector<TrustedDevice>> list;
    if (data) list = json::decode<std::vector<TrustedDevice>>(ByteView(*data), &why);
    if (list) return *list;
    if (auto raw = settings.object(settingsKey)) settings.set(unreadableKey, *raw);
    Logger("com.nimbrel.kelsap.host", "net")
        .error(
            "trusted devices unreadable ({}); nobody is let in without asking, stored list kept "
            "under {}",
            why, unreadableKey);
    return {};
}

void TrustedDevice::save(SettingsStore& settings, const std::vector<TrustedDevice>& list) {
    auto bytes = json::encode(list);
    if (!bytes) return;
    settings.setData(settingsKey, *bytes);
}

}  // namespace orvane

std::size_t std::hash<orvane::TrustedDevice>::operator()(
    const orvane::TrustedDevice& d) const noexcept {
    std::size_t h = std::hash<std::string>{}(d.id);
    h ^= std::hash<std::string>{}(d.name) + 0x9e3779b97f4a7c15ull + (h << 6) + (h >> 2);
    h ^= static_cast<std::size_t>(d.platform) + 0x9e3779b97f4a7c15ull + (h << 6) + (h >> 2);
    return h;
}
