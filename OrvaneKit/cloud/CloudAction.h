#pragma once

#include <array>
#include <optional>
#include <string_view>

namespace orvane {

// What the owner's other devices may ask of the machine through its cloud record.
enum class CloudAction { playSound, lockScreen, sleepDisplay, disconnectAll, newCode };

inline constexpr std::array<CloudAction, 5> allCloudActions = {
    CloudAction::playSound, CloudAction::lockScreen, CloudAction::sleepDisplay,
    CloudAction::disconnectAll, CloudAction::newCode};

constexpr std::string_view rawValue(CloudAction a) {
    switch (a) {
        case CloudAction::playSound:
            return "playSound";
        case CloudAction::lockScreen:
            return "lockScreen";
        case CloudAction::sleepDisplay:
            return "sleepDisplay";
        case CloudAction::disconnectAll:
            return "disconnectAll";
        case CloudAction::newCode:
            return "newCode";
    }
    return "playSound";
}

// Plain, never translated.
constexpr std::string_view title(CloudAction a) {
    switch (a) {
        case CloudAction::playSound:
            return "Play Sound";
        case CloudAction::lockScreen:
            return "Lock Screen";
        case CloudAction::sleepDisplay:
            return "Turn Display Off";
        case CloudAction::disconnectAll:
            return "Disconnect Everyone";
        case CloudAction::newCode:
            return "New Access Code";
    }
    return "Play Sound";
}

// The name of the icon the viewer apps show for it.
constexpr std::string_view symbolName(CloudAction a) {
    switch (a) {
        case CloudAction::playSound:
            return "speaker.wave.3.fill";
        case CloudAction::lockScreen:
            return "lock.fill";
        case CloudAction::sleepDisplay:
            return "moon.fill";
        case CloudAction::disconnectAll:
            return "xmark.octagon.fill";
        case CloudAction::newCode:
            return "key.fill";
    }
    return "speaker.wave.3.fill";
}

constexpr std::optional<CloudAction> cloudActionFromRaw(std::string_view raw) {
    for (auto a : allCloudActions)
        if (rawValue(a) == raw) return a;
    return std::nullopt;
}

}  // namespace orvane
