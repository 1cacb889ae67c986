#pragma once

#include <asio/any_io_executor.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "OrvaneKit/base/Clock.h"
#include "OrvaneKit/base/Logger.h"
#include "OrvaneKit/base/SettingsStore.h"
#include "OrvaneKit/cloud/CloudStore.h"
#include "OrvaneKit/reach/Connector.h"
#include "OrvaneKit/reach/NATHolePunch.h"

namespace orvane {

// The viewer's half of the hole punch: learns its public UDP address, leaves it for the machine
// and prepares a QUIC candidate for the connection race that leaves from the same local port.
// One preparation per lifetime, whatever its outcome.
class NATPuncher : public std::enable_shared_from_this<NATPuncher> {
public:
    struct Services {
        // Where the STUN exchange, the store's blocking call and `finished` run.
        asio::any_io_executor executor;
        std::shared_ptr<CloudStore> store;
        const Clock& clock;
        // STUNClient::discover when empty.
        STUNDiscover discover;
    };

    static std::shared_ptr<NATPuncher> make(Services services);

    // Returns at once. Does nothing after a first preparation, with the switch off, or without
    // the machine's public host and port; `finished` (if any) runs once the preparation ended
    // (on the executor) or was not begun (at once).
    void prepare(std::string macID, std::optional<std::string> macHost,
                 std::optional<std::int64_t> macPort, std::string accessCode,
                 const SettingsStore& settings, std::function<void()> finished = {});
    // The prepared candidate, once ready.
    std::optional<ConnectCandidate> candidate() const;
    // Forgets the candidate; preparing again stays refused.
    void reset();

    // The punched-path candidate towards the machine's public address, dialled from
    // `localPort`; none when not enabled or the machine's address is missing or out of range.
    static std::optional<ConnectCandidate> makeCandidate(bool enabled,
                                                         const std::optional<std::string>& macHost,
                                                         std::optional<std::int64_t> macPort,
                                                         std::optional<std::uint16_t> localPort,
                                                         const std::string& accessCode);

private:
    explicit NATPuncher(Services services);
    void discovered(std::optional<STUNDiscovery> found, const std::string& macID,
                    const std::optional<std::string>& macHost, std::optional<std::int64_t> macPort,
                    const std::string& accessCode);

    Services s_;
    mutable std::mutex mutex_;
    std::optional<ConnectCandidate> cached_;
    bool started_ = false;
    const Logger log_{NATHolePunch::logSubsystem, NATHolePunch::logCategory};
};

}  // namespace orvane
