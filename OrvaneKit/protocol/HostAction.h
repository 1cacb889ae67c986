#pragma once

#include <array>
#include <optional>
#include <string_view>

#include "OrvaneKit/protocol/Json.h"

namespace orvane {

// Message `hostAction`: a power action; the body is the bare JSON string of its text.
enum class HostAction { lockScreen, sleepDisplay, restart };

inline constexpr std::array<HostAction, 3> allHostActions = {
    HostAction::lockScreen, HostAction::sleepDisplay, HostAction::restart};

std::string_view rawValue(HostAction a);
std::optional<HostAction> hostActionFromRaw(std::string_view text);

void toJson(json::Value& out, HostAction a);
void fromJson(const json::Value& in, HostAction& a);

}  // namespace orvane
