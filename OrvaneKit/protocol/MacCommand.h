#pragma once

#include <string>
#include <string_view>
#include <variant>

#include "OrvaneKit/protocol/Json.h"

namespace orvane {

namespace mac_command_cases {
struct OpenApp {
    static constexpr std::string_view caseName = "openApp";
    std::string name;
    bool operator==(const OpenApp&) const = default;
};
// The URL is written under "_0".
struct OpenURL {
    static constexpr std::string_view caseName = "openURL";
    std::string url;
    bool operator==(const OpenURL&) const = default;
};
struct RunShortcut {
    static constexpr std::string_view caseName = "runShortcut";
    std::string name;
    bool operator==(const RunShortcut&) const = default;
};

void toJson(json::Value& out, const OpenApp& v);
void fromJson(const json::Value& in, OpenApp& v);
void toJson(json::Value& out, const OpenURL& v);
void fromJson(const json::Value& in, OpenURL& v);
void toJson(json::Value& out, const RunShortcut& v);
void fromJson(const json::Value& in, RunShortcut& v);
}  // namespace mac_command_cases

// Message `macCommand`: a command a viewer asks the host to run.
struct MacCommand : std::variant<mac_command_cases::OpenApp, mac_command_cases::OpenURL,
                                 mac_command_cases::RunShortcut> {
    using OpenApp = mac_command_cases::OpenApp;
    using OpenURL = mac_command_cases::OpenURL;
    using RunShortcut = mac_command_cases::RunShortcut;

    using variant::variant;
};

void toJson(json::Value& out, const MacCommand& v);
void fromJson(const json::Value& in, MacCommand& v);

}  // namespace orvane
