#include "OrvaneKit/records/SessionLogEntry.h"

#include <algorithm>

namespace orvane {

std::optional<double> SessionLogEntry::duration() const {
    if (!ended) return std::nullopt;
    return std::max(0.0, *ended - started);
}

void toJson(json::Value& out, const SessionLogEntry& v) {
    out = json::Value::object();
    json::putField(out, "id", v.id);
    json::putField(out, "device", v.device);
    json::putField(out, "kind", v.kind);
    json::putField(out, "route", v.route);
    json::putField(out, "started", v.started);
    json::putOptional(out, "ended", v.ended);
    json::putField(out, "outcome", v.outcome);
    json::putField(out, "unattended", v.unattended);
}

void fromJson(const json::Value& in, SessionLogEntry& v) {
    json::requireObject(in);
    v.id = json::requireField<Uuid>(in, "id");
    v.device = json::requireField<std::string>(in, "device");
    v.kind = json::requireField<std::string>(in, "kind");
    v.route = json::requireField<std::string>(in, "route");
    v.started = json::requireField<Date>(in, "started");
    v.ended = json::optionalField<Date>(in, "ended");
    v.outcome = json::requireField<std::string>(in, "outcome");
    v.unattended = json::requireField<bool>(in, "unattended");
}

}  // namespace orvane

std::size_t std::hash<orvane::SessionLogEntry>::operator()(
    const orvane::SessionLogEntry& e) const noexcept {
    std::size_t h = std::hash<orvane::Uuid>{}(e.id);
    auto mix = [&h](std::size_t v) { h ^= v + 0x9e3779b97f4a7c15ull + (h << 6) + (h >> 2); };
    mix(std::hash<std::string>{}(e.device));
    mix(std::hash<std::string>{}(e.kind));
    mix(std::hash<std::string>{}(e.route));
    mix(std::hash<double>{}(e.started.secondsSince2001()));
    mix(e.ended ? std::hash<double>{}(e.ended->secondsSince2001()) : 0x51ed);
    mix(std::hash<std::string>{}(e.outcome));
    mix(e.unattended ? 1 : 2);
    return h;
}
