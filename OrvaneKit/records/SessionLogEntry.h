#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

#include "OrvaneKit/base/Date.h"
#include "OrvaneKit/base/Uuid.h"
#include "OrvaneKit/protocol/Json.h"

namespace orvane {

// One row of a session record export, shared by the host's history and the viewer apps.
struct SessionLogEntry {
    Uuid id;
    std::string device;
    std::string kind;  // the label of the kind, as shown to people
    std::string route;
    Date started;
    std::optional<Date> ended;
    std::string outcome;
    bool unattended = false;

    bool operator==(const SessionLogEntry&) const = default;

    // Seconds from start to end, never negative; none while the session runs.
    std::optional<double> duration() const;
};

void toJson(json::Value& out, const SessionLogEntry& v);
void fromJson(const json::Value& in, SessionLogEntry& v);

}  // namespace orvane

template <>
struct std::hash<orvane::SessionLogEntry> {
    std::size_t operator()(const orvane::SessionLogEntry& e) const noexcept;
};
