#include "OrvaneKit/cloud/CloudMac.h"

#include <cmath>

namespace orvane {

namespace {

std::optional<std::string> text(const CloudValue* v) {
    if (const auto* s = v ? std::get_if<std::string>(v) : nullptr) return *s;
    return std::nullopt;
}
std::optional<std::int64_t> integer(const CloudValue* v) {
    if (const auto* i = v ? std::get_if<std::int64_t>(v) : nullptr) return *i;
    return std::nullopt;
}
std::optional<Date> date(const CloudValue* v) {
    if (const auto* d = v ? std::get_if<CloudDate>(v) : nullptr) return fromCloudDate(*d);
    return std::nullopt;
}
std::vector<std::string> list(const CloudValue* v) {
    if (const auto* l = v ? std::get_if<std::vector<std::string>>(v) : nullptr) return *l;
    return {};
}

template <class T>
std::optional<CloudValue> opt(const std::optional<T>& v) {
    if (v) return CloudValue(*v);
    return std::nullopt;
}
std::optional<CloudValue> listOrNothing(const std::vector<std::string>& v) {
    if (v.empty()) return std::nullopt;
    return CloudValue(v);
}

}  // namespace

CloudDate toCloudDate(Date d) {
    return CloudDate(std::chrono::milliseconds(
        static_cast<std::int64_t>(std::floor(d.unixSeconds() * 1000.0 + 1e-3))));
}

Date fromCloudDate(CloudDate d) {
    return Date::fromUnix(static_cast<double>(d.time_since_epoch().count()) / 1000.0);
}

Date distantPast() {
    return Date::fromUnix(-62135596800.0);
}

CloudMac CloudMac::fromRecord(const CloudRecord& r) {
    CloudMac m;
    m.id = r.id.name;
    m.name = text(r.get("name")).value_or("Mac");
    m.model = text(r.get("model")).value_or("");
    m.lastSeen = date(r.get("lastSeen")).value_or(distantPast());
    m.lanAddresses = list(r.get("lanAddresses"));
    m.publicAddress = text(r.get("publicAddress"));
    m.publicPort = integer(r.get("publicPort"));
    m.ipv6Addresses = list(r.get("ipv6Addresses"));
    m.accessCode = text(r.getEncrypted("accessCode"));
    m.identity = text(r.getEncrypted("identity"));
    m.authToken = text(r.getEncrypted("authToken"));
    m.relayHost = text(r.get("relayHost"));
    m.relayPort = integer(r.get("relayPort"));
    m.relayAlloc = text(r.getEncrypted("relayAlloc"));
    m.natHost = text(r.get("natHost"));
    m.natPort = integer(r.get("natPort"));
    return m;
}

void CloudMac::writeTo(CloudRecord& r) const {
    r.set("name", name);
    r.set("model", model);
    r.set("lastSeen", toCloudDate(lastSeen));
    r.set("lanAddresses", listOrNothing(lanAddresses));
    r.set("publicAddress", opt(publicAddress));
    r.set("publicPort", opt(publicPort));
    r.set("ipv6Addresses", listOrNothing(ipv6Addresses));
    r.setEncrypted("accessCode", opt(accessCode));
    r.setEncrypted("identity", opt(identity));
    r.setEncrypted("authToken", opt(authToken));
    r.set("relayHost", opt(relayHost));
    r.set("relayPort", opt(relayPort));
    r.setEncrypted("relayAlloc", opt(relayAlloc));
    r.set("natHost", opt(natHost));
    r.set("natPort", opt(natPort));
}

bool CloudMac::isOnline(Date now) const {
    return now - lastSeen < 600.0;
}

std::vector<std::string> CloudMac::endpoints() const {
    std::vector<std::string> out;
    if (publicAddress && publicPort)
        out.push_back(*publicAddress + ":" + std::to_string(*publicPort));
    for (const auto& a : ipv6Addresses) out.push_back("[" + a + "]:" + std::to_string(sessionPort));
    return out;
}

std::optional<CloudCommand> CloudCommand::fromRecord(const CloudRecord& r) {
    auto macID = text(r.get("macID"));
    auto raw = text(r.get("action"));
    if (!macID || !raw) return std::nullopt;
    auto action = cloudActionFromRaw(*raw);
    if (!action) return std::nullopt;
    CloudCommand c;
    c.id = r.id.name;
    c.macID = *macID;
    c.action = *action;
    c.sender = text(r.get("sender")).value_or("Another device");
    c.createdAt = date(r.get("createdAt")).value_or(distantPast());
    return c;
}

void CloudCommand::writeTo(CloudRecord& r) const {
    r.set("macID", macID);
    r.set("action", std::string(rawValue(action)));
    r.set("sender", sender);
    r.set("createdAt", toCloudDate(createdAt));
}

}  // namespace orvane
