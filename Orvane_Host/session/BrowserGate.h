#pragma once

#include <functional>
#include <memory>
#include <string>

#include "Orvane_Host/session/IBrowserServer.h"
#include "Orvane_Host/session/SessionServices.h"

namespace orvane {

// The browser server's way into the wrong-code guard: its failed codes count against the same
// addresses as the session listener's (with the history entry and the notification), and an
// address blocked by either is refused by both. Answers from the main actor.
class BrowserGate : SessionPart, public IBrowserServer::Guard {
public:
    class Host {
    public:
        virtual bool browserAddressBlocked(const std::string& address) const = 0;
        virtual void browserWrongCode(const std::string& address) = 0;

    protected:
        ~Host() = default;
    };

    BrowserGate(const SessionServices& services, std::weak_ptr<void> core, Host& host);

    void checkAddress(const std::string& address, std::function<void(bool)> done) override;
    void noteWrongCode(const std::string& address) override;

private:
    Host& host_;
};

}  // namespace orvane
