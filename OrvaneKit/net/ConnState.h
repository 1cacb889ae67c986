#pragma once

#include <string>
#include <variant>

#include "OrvaneKit/base/Errors.h"

namespace orvane {

// States of a network connection (and of a listener, which uses the subset setup, waiting,
// ready, failed, cancelled). Waiting and failed carry the error that caused them.
namespace conn {
struct Setup {
    bool operator==(const Setup&) const = default;
};
struct Preparing {
    bool operator==(const Preparing&) const = default;
};
struct Waiting {
    NetError error;
    bool operator==(const Waiting&) const = default;
};
struct Ready {
    bool operator==(const Ready&) const = default;
};
struct Failed {
    NetError error;
    bool operator==(const Failed&) const = default;
};
struct Cancelled {
    bool operator==(const Cancelled&) const = default;
};
}  // namespace conn

using ConnState = std::variant<conn::Setup, conn::Preparing, conn::Waiting, conn::Ready,
                               conn::Failed, conn::Cancelled>;

// The error of a waiting or failed state, else null.
const NetError* stateError(const ConnState& state);

// True for waiting or failed with a TLS-kind error: the peer holds another access code (or is a
// TLS peer we cannot talk to). Resets and EOF before any TLS record are POSIX-kind and never
// count here, so a port scan is not taken for a wrong code.
bool isTlsFailure(const ConnState& state);

// "ready", "waiting(tls 20: …)" … for logs and test messages.
std::string describe(const ConnState& state);
std::string describe(const NetError& error);

// Error values built the same way everywhere.
NetError posixError(int code, std::string text = {});
NetError tlsError(int code, std::string text);

}  // namespace orvane
