#include "OrvaneKit/protocol/Hello.h"

#include <array>
#include <utility>

#include "OrvaneKit/protocol/RecordHash.h"

namespace orvane {

namespace {
constexpr std::array<std::pair<ClientPlatform, std::string_view>, 6> platformTexts{{
    {ClientPlatform::mac, "mac"},
    {ClientPlatform::iPhone, "iPhone"},
    {ClientPlatform::iPad, "iPad"},
    {ClientPlatform::vision, "vision"},
    {ClientPlatform::watch, "watch"},
    {ClientPlatform::unknown, "unknown"},
}};
constexpr std::array<std::pair<ClientRole, std::string_view>, 2> roleTexts{{
    {ClientRole::viewer, "viewer"},
    {ClientRole::screenSharer, "screenSharer"},
}};

template <class E, std::size_t N>
std::string_view textOf(const std::array<std::pair<E, std::string_view>, N>& table, E e) {
    for (const auto& [value, text] : table)
        if (value == e) return text;
    return {};
}
template <class E, std::size_t N>
std::optional<E> valueOf(const std::array<std::pair<E, std::string_view>, N>& table,
                         std::string_view t) {
    for (const auto& [value, text] : table)
        if (text == t) return value;
    return std::nullopt;
}
}  // namespace

std::string_view rawValue(ClientPlatform p) {
    return textOf(platformTexts, p);
}
std::optional<ClientPlatform> clientPlatformFromRaw(std::string_view text) {
    return valueOf(platformTexts, text);
}
std::string_view rawValue(ClientRole r) {
    return textOf(roleTexts, r);
}
std::optional<ClientRole> clientRoleFromRaw(std::string_view text) {
    return valueOf(roleTexts, text);
}

void toJson(json::Value& out, ClientPlatform p) {
    out = std::string(rawValue(p));
}
void fromJson(const json::Value& in, ClientPlatform& p) {
    auto v = clientPlatformFromRaw(json::fromValue<std::string>(in));
    if (!v) json::fail("unknown platform " + in.dump());
    p = *v;
}
void toJson(json::Value& out, ClientRole r) {
    out = std::string(rawValue(r));
}
void fromJson(const json::Value& in, ClientRole& r) {
    auto v = clientRoleFromRaw(json::fromValue<std::string>(in));
    if (!v) json::fail("unknown role " + in.dump());
    r = *v;
}

void toJson(json::Value& out, const Hello& v) {
    json::putField(out, "deviceName", v.deviceName);
    json::putField(out, "platform", v.platform);
    json::putField(out, "protocolVersion", v.protocolVersion);
    json::putOptional(out, "deviceID", v.deviceID);
    json::putOptional(out, "role", v.role);
    json::putOptional(out, "supportsHEVC", v.supportsHEVC);
    json::putOptional(out, "supportsHDR", v.supportsHDR);
    json::putOptional(out, "iCloudToken", v.iCloudToken);
    json::putOptional(out, "preferredDisplayID", v.preferredDisplayID);
}

void fromJson(const json::Value& in, Hello& v) {
    json::requireObject(in);
    v.deviceName = json::requireField<std::string>(in, "deviceName");
    v.platform = json::requireField<ClientPlatform>(in, "platform");
    v.protocolVersion = json::requireField<std::int64_t>(in, "protocolVersion");
    v.deviceID = json::optionalField<std::string>(in, "deviceID");
    v.role = json::optionalField<ClientRole>(in, "role");
    v.supportsHEVC = json::optionalField<bool>(in, "supportsHEVC");
    v.supportsHDR = json::optionalField<bool>(in, "supportsHDR");
    v.iCloudToken = json::optionalField<std::string>(in, "iCloudToken");
    v.preferredDisplayID = json::optionalField<std::uint32_t>(in, "preferredDisplayID");
}

void toJson(json::Value& out, const DisplayInfo& v) {
    json::putField(out, "id", v.id);
    json::putField(out, "name", v.name);
    json::putField(out, "width", v.width);
    json::putField(out, "height", v.height);
}

void fromJson(const json::Value& in, DisplayInfo& v) {
    json::requireObject(in);
    v.id = json::requireField<std::uint32_t>(in, "id");
    v.name = json::requireField<std::string>(in, "name");
    v.width = json::requireField<std::int64_t>(in, "width");
    v.height = json::requireField<std::int64_t>(in, "height");
}

void toJson(json::Value& out, const HelloAck& v) {
    json::putField(out, "hostName", v.hostName);
    json::putField(out, "displays", v.displays);
    json::putField(out, "activeDisplayID", v.activeDisplayID);
}

void fromJson(const json::Value& in, HelloAck& v) {
    json::requireObject(in);
    v.hostName = json::requireField<std::string>(in, "hostName");
    v.displays = json::requireField<std::vector<DisplayInfo>>(in, "displays");
    v.activeDisplayID = json::requireField<std::uint32_t>(in, "activeDisplayID");
}

void toJson(json::Value& out, const DisplayList& v) {
    json::putField(out, "displays", v.displays);
    json::putField(out, "activeDisplayID", v.activeDisplayID);
}

void fromJson(const json::Value& in, DisplayList& v) {
    json::requireObject(in);
    v.displays = json::requireField<std::vector<DisplayInfo>>(in, "displays");
    v.activeDisplayID = json::requireField<std::uint32_t>(in, "activeDisplayID");
}

void toJson(json::Value& out, const SelectDisplay& v) {
    json::putField(out, "displayID", v.displayID);
}

void fromJson(const json::Value& in, SelectDisplay& v) {
    json::requireObject(in);
    v.displayID = json::requireField<std::uint32_t>(in, "displayID");
}

}  // namespace orvane

std::size_t std::hash<orvane::DisplayInfo>::operator()(
    const orvane::DisplayInfo& d) const noexcept {
    return orvane::hashValues(d.id, d.name, d.width, d.height);
}
