#include "OrvaneKit/features/FeatureSwitches.h"

namespace orvane {

namespace {
constexpr std::array<std::string_view, 3> shipsNames = {"Orvane Host (Mac)", "Orvane viewer",
                                                        "Host and viewer"};
constexpr std::array<std::string_view, 3> gateNames = {"userSetting", "developerOnly", "alwaysOn"};

template <class E, std::size_t N>
std::optional<E> fromNames(const std::array<std::string_view, N>& names, std::string_view raw) {
    for (std::size_t i = 0; i < N; ++i)
        if (names[i] == raw) return static_cast<E>(i);
    return std::nullopt;
}

using S = FeatureSwitch::Ships;
using G = FeatureSwitch::Gate;
}  // namespace

bool FeatureSwitch::isOn(const SettingsStore& store) const {
    if (defaultsKey && store.contains(*defaultsKey)) return store.boolValue(*defaultsKey);
    return onByDefault;
}

std::string_view rawValue(FeatureSwitch::Ships ships) {
    return shipsNames[static_cast<std::size_t>(ships)];
}
std::optional<FeatureSwitch::Ships> shipsFromRaw(std::string_view raw) {
    return fromNames<FeatureSwitch::Ships>(shipsNames, raw);
}
std::string_view rawValue(FeatureSwitch::Gate gate) {
    return gateNames[static_cast<std::size_t>(gate)];
}
std::optional<FeatureSwitch::Gate> gateFromRaw(std::string_view raw) {
    return fromNames<FeatureSwitch::Gate>(gateNames, raw);
}

const std::array<FeatureSwitch, 5>& FeatureSwitches::all() {
    static const std::array<FeatureSwitch, 5> entries = {{
        {"natHolePunch", "NAT hole-punching",
         "Last-resort route across routers using one request to a public STUN server. No screen "
         "turns it on.",
         "natHolePunch", false, S::both, G::developerOnly, true},
        {"offNetworkRoutes", "Away-from-home routes in the pairing QR",
         "The QR lists the Mac's router-mapped address and public IPv6 address. Best effort, "
         "never through carrier-grade NAT.",
         std::nullopt, true, S::both, G::alwaysOn, true},
        {"browserAccess", "Browser access (experimental)",
         "A page on the local network so a browser can view and control the Mac. Host only, not "
         "in the App Store app.",
         "browserAccess", false, S::host, G::userSetting, true},
        {"unattendedAccess", "Let trusted devices in without asking",
         "Trusted devices connect with nobody clicking Allow. Needs the access code and the "
         "device's own key. Flagged in history and announced.",
         "unattendedAccess", false, S::host, G::userSetting, true},
        {"sessionRecord", "Session record",
         "Who connected, when and for how long, kept on the device. Never screen content. "
         "Exportable as CSV.",
         std::nullopt, true, S::both, G::alwaysOn, true},
    }};
    return entries;
}

const FeatureSwitch& FeatureSwitches::natHolePunch() {
    return all()[0];
}
const FeatureSwitch& FeatureSwitches::offNetworkRoutes() {
    return all()[1];
}
const FeatureSwitch& FeatureSwitches::browserAccess() {
    return all()[2];
}
const FeatureSwitch& FeatureSwitches::unattendedAccess() {
    return all()[3];
}
const FeatureSwitch& FeatureSwitches::sessionRecord() {
    return all()[4];
}

}  // namespace orvane
