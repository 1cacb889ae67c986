#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "OrvaneKit/base/SettingsStore.h"

namespace orvane {

// One entry of the documented list of optional or noteworthy features.
struct FeatureSwitch {
    // Where the feature ships.
    enum class Ships { host, viewer, both };
    // How it is controlled.
    enum class Gate { userSetting, developerOnly, alwaysOn };

    std::string id;
    std::string title;
    std::string summary;
    std::optional<std::string> defaultsKey;
    bool onByDefault = false;
    Ships ships = Ships::both;
    Gate gate = Gate::alwaysOn;
    bool declaredInReviewNotes = false;

    bool operator==(const FeatureSwitch&) const = default;

    // The stored setting when the entry has a key and something is stored under it (read as the
    // settings store reads Booleans), else the default.
    bool isOn(const SettingsStore& store) const;
};

// "Orvane Host (Mac)", "Orvane viewer", "Host and viewer"; exact matches only.
std::string_view rawValue(FeatureSwitch::Ships ships);
std::optional<FeatureSwitch::Ships> shipsFromRaw(std::string_view raw);
// The case names; exact matches only.
std::string_view rawValue(FeatureSwitch::Gate gate);
std::optional<FeatureSwitch::Gate> gateFromRaw(std::string_view raw);

// The fixed catalogue.
struct FeatureSwitches {
    static const FeatureSwitch& natHolePunch();
    static const FeatureSwitch& offNetworkRoutes();
    static const FeatureSwitch& browserAccess();
    static const FeatureSwitch& unattendedAccess();
    static const FeatureSwitch& sessionRecord();
    // The five entries in that order.
    static const std::array<FeatureSwitch, 5>& all();
};

}  // namespace orvane

template <>
struct std::hash<orvane::FeatureSwitch::Ships> {
    std::size_t operator()(orvane::FeatureSwitch::Ships s) const noexcept {
        return std::hash<std::string_view>{}(orvane::rawValue(s));
    }
};
template <>
struct std::hash<orvane::FeatureSwitch::Gate> {
    std::size_t operator()(orvane::FeatureSwitch::Gate g) const noexcept {
        return std::hash<std::string_view>{}(orvane::rawValue(g));
    }
};
