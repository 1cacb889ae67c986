#include "OrvaneKit/protocol/HostAction.h"

#include <string>

namespace orvane {

std::string_view rawValue(HostAction a) {
    switch (a) {
        case HostAction::lockScreen:
            return "lockScreen";
        case HostAction::sleepDisplay:
            return "sleepDisplay";
        case HostAction::restart:
            return "restart";
    }
    return {};
}

std::optional<HostAction> hostActionFromRaw(std::string_view text) {
    for (auto a : allHostActions)
        if (rawValue(a) == text) return a;
    return std::nullopt;
}

void toJson(json::Value& out, HostAction a) {
    out = std::string(rawValue(a));
}

void fromJson(const json::Value& in, HostAction& a) {
    auto v = hostActionFromRaw(json::fromValue<std::string>(in));
    if (!v) json::fail("unknown host action " + in.dump());
    a = *v;
}

}  // namespace orvane
