#pragma once

#include <string>

#include "Orvane_Host/session/HostController.h"

namespace orvane::intents {

// What a script or launcher gets back: the value it asked for and the sentence to show.
struct Answer {
    std::string value;
    std::string dialog;
};

inline constexpr const char* disconnectedReason = "Disconnected by the host.";

// Main actor. None of them can fail.
Answer accessCode(HostController& host);
// A new code with the full effect of the menu's button: every session ends, the listener
// restarts on the new code.
Answer changeAccessCode(HostController& host);
// Ends every client, waiting ones and sharers too; says how many there were.
std::string disconnectEveryone(HostController& host);

}  // namespace orvane::intents
