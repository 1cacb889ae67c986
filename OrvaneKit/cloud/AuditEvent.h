#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "OrvaneKit/base/Date.h"

namespace orvane {

// One event of a team's audit log.
struct AuditEvent {
    enum class Kind { connect };

    std::string id;
    std::string teamID;
    std::string actorID;
    std::string actorName;
    std::string macID;
    std::string macName;
    Kind kind = Kind::connect;
    Date at;

    bool operator==(const AuditEvent&) const = default;
};

constexpr std::string_view rawValue(AuditEvent::Kind k) {
    switch (k) {
        case AuditEvent::Kind::connect:
            return "connect";
    }
    return "connect";
}

}  // namespace orvane
