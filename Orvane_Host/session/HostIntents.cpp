#include "Orvane_Host/session/HostIntents.h"

namespace orvane::intents {

Answer accessCode(HostController& host) {
    return {host.accessCode(), "Your Orvane access code is " + host.accessCode() + "."};
}

Answer changeAccessCode(HostController& host) {
    host.newAccessCode();
    return {host.accessCode(), "New access code: " + host.accessCode() + "."};
}

std::string disconnectEveryone(HostController& host) {
    // Counted and copied first: ending a session changes the list.
    auto clients = host.clients();
    for (const auto& c : clients) host.endSession(c, disconnectedReason);
    switch (clients.size()) {
        case 0:
            return "Nobody was connected.";
        case 1:
            return "Disconnected 1 device.";
        default:
            return "Disconnected " + std::to_string(clients.size()) + " devices.";
    }
}

}  // namespace orvane::intents
