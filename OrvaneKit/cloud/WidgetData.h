#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace orvane {

class SettingsStore;
class SecretStore;

// What the viewer apps hand their extensions through the app group's settings suite and
// keychain. Nothing is kept in memory; failures are silent.
inline constexpr const char* appGroup = "group.com.nimbrel.kelsap";
// The app group's suite: $XDG_CONFIG_HOME/orvane-host/group.com.nimbrel.kelsap.json
std::filesystem::path appGroupSuitePath();

// A machine the widget shows.
struct WidgetMac {
    std::string id;
    std::string name;
    std::string subtitle;
    bool operator==(const WidgetMac&) const = default;

    // kelsap://connect?id=<id, percent-encoded>
    std::string url() const;
    static void save(const std::vector<WidgetMac>& macs, SettingsStore& suite);
    // The stored list; empty when there is none or it does not read.
    static std::vector<WidgetMac> load(SettingsStore& suite);
};

// The machine a screen broadcast goes to. The access code lives only in the keychain.
struct BroadcastTarget {
    static constexpr const char* accessCodeAccount = "broadcast.accessCode";

    std::string macName;
    std::optional<std::string> bonjourName;
    std::optional<std::string> address;
    std::uint16_t port = 0;
    std::string accessCode;
    std::string deviceName;
    std::string deviceID;
    std::optional<std::string> interfaceName;
    bool operator==(const BroadcastTarget&) const = default;

    void save(SettingsStore& suite, SecretStore& keychain) const;
    static void clear(SettingsStore& suite, SecretStore& keychain);
    // None when either the record or its access code is missing.
    static std::optional<BroadcastTarget> load(SettingsStore& suite, SecretStore& keychain);
};

}  // namespace orvane
