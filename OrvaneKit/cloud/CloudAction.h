#pragma once

#include <string_view>

namespace orvane {

// What the owner's other devices may ask of the machine through its cloud record.
enum class CloudAction { playSound, lockScreen, sleepDisplay, disconnectAll, newCode };

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

}  // namespace orvane
