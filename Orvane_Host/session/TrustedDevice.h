#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "OrvaneKit/base/SettingsStore.h"
#include "OrvaneKit/protocol/Hello.h"
#include "OrvaneKit/protocol/Json.h"

namespace orvane {

// A device let in without asking while unattended access is on, known by the fingerprint of
// the identity it proved in the handshake.
struct TrustedDevice {
    std::string id;  // identity fingerprint
    std::string name;
    ClientPlatform platform = ClientPlatform::unknown;

    bool operator==(const TrustedDevice&) const = default;

    static constexpr const char* settingsKey = "trustedDevices";
    // Where a stored list that cannot be read is kept, so that the next save loses nothing.
    static constexpr const char* unreadableKey = "trustedDevices.unreadable";

    // The stored list; empty when there is none or it cannot be read (fail closed: nobody is
    // let in without asking on the strength of a damaged list).
    static std::vector<TrustedDevice> load(SettingsStore& settings);
    // Writes the list; on an encoding failure the stored value stays as it was.
    static void save(SettingsStore& settings, const std::vector<TrustedDevice>& list);
};

void toJson(json::Value& out, const TrustedDevice& v);
void fromJson(const json::Value& in, TrustedDevice& v);

}  // namespace orvane

template <>
struct std::hash<orvane::TrustedDevice> {
    std::size_t operator()(const orvane::TrustedDevice& d) const noexcept;
};
