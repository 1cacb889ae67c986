#pragma once

#include <cstdint>
#include <string>

#include "OrvaneKit/base/Signal.h"

namespace orvane {

// Announces one service on the local network (mDNS/DNS-SD) under a name people recognise, with no
// TXT strings. Advertising never fails its caller: a missing name service is reported through the
// state and retried by the backend on its own.
class ServiceAdvertiser {
public:
    struct State {
        enum class Phase {
            idle,              // nothing advertised
            waitingForDaemon,  // wanted, but the name service is not there yet
            registering,       // handed to the name service, probing the network
            registered,        // announced under `name`
            failed,            // refused by the name service; see `error`
        };
        Phase phase = Phase::idle;
        // The name actually announced or being tried: after a collision it differs from the one
        // asked for ("Name #2").
        std::string name;
        std::string error;
        bool operator==(const State&) const = default;
    };

    virtual ~ServiceAdvertiser() = default;

    // Advertises `name` for `type` (e.g. "_kelsap._tcp") on `port`, replacing what was advertised
    // before. Asking again for the same name, type and port keeps the current registration, so
    // a listener restart does not make the service vanish and reappear (after `failed` it is a
    // retry). Never blocks on the name service; any thread.
    virtual void advertise(const std::string& name, const std::string& type,
                           std::uint16_t port) = 0;
    // Takes the service off the network. Any thread.
    virtual void withdraw() = 0;
    virtual State state() const = 0;

    // Each change of state(). Which thread emits is the backend's to say; owners post to their own
    // executor. Slots may call advertise() and withdraw().
    Signal<const State&> stateChanged;
};

const char* phaseName(ServiceAdvertiser::State::Phase phase);

}  // namespace orvane
