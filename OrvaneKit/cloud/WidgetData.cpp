#include "OrvaneKit/cloud/WidgetData.h"

#include <nlohmann/json.hpp>

#include "OrvaneKit/base/Paths.h"
#include "OrvaneKit/base/SettingsStore.h"
#include "OrvaneKit/security/Keychain.h"

namespace orvane {

using json = nlohmann::json;

namespace {

constexpr const char* widgetKey = "widgetMacs";
constexpr const char* broadcastKey = "broadcastTarget";
constexpr const char* keychainService = "com.nimbrel.kelsap";

std::string percentEncoded(const std::string& s) {
    // What a URL's query value may hold as it is.
    static const std::string keep =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~!$'()*,;:@/?";
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : s) {
        if (keep.find(static_cast<char>(c)) != std::string::npos) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

std::optional<std::string> text(const json& j, const char* key) {
    auto it = j.find(key);
    if (it == j.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

}  // namespace

std::filesystem::path appGroupSuitePath() {
    return Paths::config() / "orvane-host" / (std::string(appGroup) + ".json");
}

std::string WidgetMac::url() const {
    return "kelsap://connect?id=" + percentEncoded(id);
}

void WidgetMac::save(const std::vector<WidgetMac>& macs, SettingsStore& suite) {
    json list = json::array();
    for (const auto& m : macs)
        list.push_back({{"id", m.id}, {"name", m.name}, {"subtitle", m.subtitle}});
    suite.setString(widgetKey, list.dump(-1, ' ', false, json::error_handler_t::replace));
}

std::vector<WidgetMac> WidgetMac::load(SettingsStore& suite) {
    auto stored = suite.string(widgetKey);
    if (!stored) return {};
    auto list = json::parse(*stored, nullptr, false);
    if (!list.is_array()) return {};
    std::vector<WidgetMac> out;
    for (const auto& e : list) {
        if (!e.is_object()) return {};
        auto id = text(e, "id"), name = text(e, "name"), subtitle = text(e, "subtitle");
        if (!id || !name || !subtitle) return {};
        out.push_back({*id, *name, *subtitle});
    }
    return out;
}

void BroadcastTarget::save(SettingsStore& suite, SecretStore& keychain) const {
    json j{
        {"macName", macName}, {"port", port}, {"deviceName", deviceName}, {"deviceID", deviceID}};
    if (bonjourName) j["bonjourName"] = *bonjourName;
    if (address) j["address"] = *address;
    if (interfaceName) j["interfaceName"] = *interfaceName;
    Keychain::remove(accessCodeAccount, keychainService, appGroup, keychain);
    Keychain::add(accessCode, accessCodeAccount, keychainService, false, appGroup, keychain);
    suite.setString(broadcastKey, j.dump(-1, ' ', false, json::error_handler_t::replace));
}

void BroadcastTarget::clear(SettingsStore& suite, SecretStore& keychain) {
    suite.remove(broadcastKey);
    Keychain::remove(accessCodeAccount, keychainService, appGroup, keychain);
}

std::optional<BroadcastTarget> BroadcastTarget::load(SettingsStore& suite, SecretStore& keychain) {
    auto stored = suite.string(broadcastKey);
    if (!stored) return std::nullopt;
    auto j = json::parse(*stored, nullptr, false);
    if (!j.is_object()) return std::nullopt;
    auto macName = text(j, "macName"), deviceName = text(j, "deviceName"),
         deviceID = text(j, "deviceID");
    auto port = j.find("port");
    if (!macName || !deviceName || !deviceID || port == j.end() || !port->is_number_unsigned() ||
        port->get<std::uint64_t>() > 65535)
        return std::nullopt;
    auto code = Keychain::read(accessCodeAccount, keychainService, appGroup, keychain);
    if (!code) return std::nullopt;
    BroadcastTarget t;
    t.macName = *macName;
    t.bonjourName = text(j, "bonjourName");
    t.address = text(j, "address");
    t.port = static_cast<std::uint16_t>(port->get<std::uint64_t>());
    t.accessCode = *code;
    t.deviceName = *deviceName;
    t.deviceID = *deviceID;
    t.interfaceName = text(j, "interfaceName");
    return t;
}

}  // namespace orvane
