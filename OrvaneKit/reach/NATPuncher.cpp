#include "OrvaneKit/reach/NATPuncher.h"

#include "OrvaneKit/reach/NATSignalling.h"

namespace orvane {

std::shared_ptr<NATPuncher> NATPuncher::make(Services services) {
    if (!services.discover) services.discover = &STUNClient::discover;
    return std::shared_ptr<NATPuncher>(new NATPuncher(std::move(services)));
}

NATPuncher::NATPuncher(Services services) : s_(std::move(services)) {}

std::optional<ConnectCandidate> NATPuncher::makeCandidate(bool enabled,
                                                          const std::optional<std::string>& macHost,
                                                          std::optional<std::int64_t> macPort,
                                                          std::optional<std::uint16_t> localPort,
                                                          const std::string& accessCode) {
    if (!enabled || !macHost || macHost->empty() || !macPort || *macPort < 1 || *macPort > 65535)
        return std::nullopt;
    ConnectCandidate c;
    c.endpoint = {*macHost, static_cast<std::uint16_t>(*macPort)};
    c.quic = holePunchParameters(accessCode, localPort).path();
    return c;
}

void NATPuncher::prepare(std::string macID, std::optional<std::string> macHost,
                         std::optional<std::int64_t> macPort, std::string accessCode,
                         const SettingsStore& settings, std::function<void()> finished) {
    bool begin = false;
    {
        std::lock_guard lock(mutex_);
        if (!started_ && NATHolePunch::isEnabled(settings) && macHost && !macHost->empty() &&
            macPort)
            started_ = begin = true;
    }
    if (!begin) {
        if (finished) finished();
        return;
    }
    std::weak_ptr<NATPuncher> weak = weak_from_this();
    s_.discover(s_.executor, NATHolePunch::stunServer(settings),
                std::chrono::duration<double>(NATHolePunch::stunTimeoutSeconds),
                [weak, macID = std::move(macID), macHost = std::move(macHost), macPort,
                 accessCode = std::move(accessCode),
                 finished = std::move(finished)](std::optional<STUNDiscovery> found) {
                    if (auto self = weak.lock())
                        self->discovered(std::move(found), macID, macHost, macPort, accessCode);
                    if (finished) finished();
                });
}

void NATPuncher::discovered(std::optional<STUNDiscovery> found, const std::string& macID,
                            const std::optional<std::string>& macHost,
                            std::optional<std::int64_t> macPort, const std::string& accessCode) {
    if (!found) {
        log_.notice("NAT: STUN discovery failed; no hole-punch candidate added");
        return;
    }
    // Without the record the machine does not punch, but the dial may still get through (a
    // NAT that lets answers in from anywhere).
    try {
        NATSignalling(s_.store, s_.clock)
            .publish(macID, found->reflexive.host, found->reflexive.port);
    } catch (const std::exception& e) {
        log_.error("NAT: could not leave the hole-punch address for the Mac: {}", e.what());
    }
    auto from = found->localPort ? std::optional(found->localPort) : std::nullopt;
    auto candidate = makeCandidate(true, macHost, macPort, from, accessCode);
    {
        std::lock_guard lock(mutex_);
        cached_ = std::move(candidate);
    }
    log_.notice("NAT: hole-punch candidate ready (local port {})", found->localPort);
}

std::optional<ConnectCandidate> NATPuncher::candidate() const {
    std::lock_guard lock(mutex_);
    return cached_;
}

void NATPuncher::reset() {
    std::lock_guard lock(mutex_);
    cached_.reset();
}

}  // namespace orvane
