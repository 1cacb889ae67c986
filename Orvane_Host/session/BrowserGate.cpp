#include "Orvane_Host/session/BrowserGate.h"

namespace orvane {

BrowserGate::BrowserGate(const SessionServices& services, std::weak_ptr<void> core, Host& host)
    : SessionPart(services, std::move(core)), host_(host) {}

void BrowserGate::checkAddress(const std::string& address, std::function<void(bool)> done) {
    s_.mainActor.post([this, core = core_, address, done = std::move(done)] {
        // A host on its way out blocks nobody; the server is being stopped anyway.
        if (!core.lock()) return done(false);
        onMainActor();
        done(host_.browserAddressBlocked(address));
    });
}

void BrowserGate::noteWrongCode(const std::string& address) {
    later([this, address] { host_.browserWrongCode(address); });
}

}  // namespace orvane
