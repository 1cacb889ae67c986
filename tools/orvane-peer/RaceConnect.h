#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "OrvaneKit/base/NetContext.h"
#include "OrvaneKit/net/Transport.h"
#include "OrvaneKit/protocol/Json.h"
#include "OrvaneKit/protocol/OrvaneConnection.h"
#include "OrvaneKit/security/SecureIdentity.h"

namespace orvane {

// `orvane-peer connect` dialling every way it knows to a machine as one connection race.
struct RaceOptions {
    std::vector<std::string> links;    // --link: each pairing link's routes
    std::optional<std::string> macID;  // --mac: the machine's record in the owner's store
    std::vector<HostPort> quic;        // --quic HOST:PORT: QUIC on the code's key
    bool holePunch = false;            // --hole-punch: with --mac, the punched QUIC path
    std::optional<std::string> stun;   // --stun HOST:PORT for the punch's STUN exchange
    std::int64_t staggerMilliseconds = 250;
    double timeoutSeconds = 10;
    std::vector<std::string> interfaces;  // --interface, repeatable: each candidate on each
    bool requested = false;               // any of the above was given

    // Takes the race option at args[0] (with its value); the number of words used, 0 when it
    // is not one, -1 for a bad value.
    int take(const std::vector<std::string>& args);
};

struct RaceWinner {
    std::shared_ptr<OrvaneConnection> connection;  // ready, without a state handler
    std::string candidate;                         // its candidate key
};

using Emit = std::function<void(const json::Value&)>;
using EmitError = std::function<void(const std::string&)>;

// Runs the race on the candidates of `options`, plus `plain` (--host/--port) when given. `code`
// may be empty: the link's or the machine record's code is used then. On failure prints why
// and returns the exit status: 2 the code was refused, 3 the channel was insecure (such as
// another identity than `fingerprint`), 1 no way worked, 64 nothing to dial or no code.
std::variant<RaceWinner, int> runRace(const RaceOptions& options, std::string code,
                                      const std::optional<std::string>& fingerprint,
                                      const std::optional<HostPort>& plain, NetContext& net,
                                      SecureIdentity& identity, const Emit& emit,
                                      const EmitError& emitError);

}  // namespace orvane
