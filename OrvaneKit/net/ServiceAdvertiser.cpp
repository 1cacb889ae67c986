#include "OrvaneKit/net/ServiceAdvertiser.h"

namespace orvane {

const char* phaseName(ServiceAdvertiser::State::Phase phase) {
    using P = ServiceAdvertiser::State::Phase;
    switch (phase) {
        case P::idle:
            return "idle";
        case P::waitingForDaemon:
            return "waitingForDaemon";
        case P::registering:
            return "registering";
        case P::registered:
            return "registered";
        case P::failed:
            return "failed";
    }
    return "?";
}

}  // namespace orvane
