#pragma once

#include <asio/any_io_executor.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "OrvaneKit/base/Logger.h"
#include "OrvaneKit/base/SettingsStore.h"
#include "OrvaneKit/reach/NATHolePunch.h"

namespace orvane {

// The machine's half of the hole punch: learns its public UDP address, listens for QUIC on the
// very port that learned it, and punches its NAT towards a viewer's public address from there.
class NATHostPuncher : public std::enable_shared_from_this<NATHostPuncher> {
public:
    static constexpr int punchDatagrams = 5;
    static constexpr std::uint8_t punchByte = 0x09;

    struct Services {
        // Where the STUN exchange and start's `done` run.
        asio::any_io_executor executor;
        HolePunchListenerFactory listeners;
        // STUNClient::discover when empty.
        STUNDiscover discover;
    };
    using ConnectionHandler = HolePunchListener::ConnectionHandler;
    using Started = std::function<void(std::optional<STUNDiscovery>)>;

    static std::shared_ptr<NATHostPuncher> make(Services services);
    ~NATHostPuncher();

    // With the switch on: one STUN exchange, then the listener on its local port, keyed by
    // `key` at each handshake. `done` gets the discovery (kept even when the listener cannot
    // start), or none with the switch off (nothing is sent then) or without an answer. Until
    // stop(), a second call gets the known discovery again.
    void start(PunchKeySource key, const SettingsStore& settings, Started done);
    // The machine's public address from the last exchange.
    std::optional<STUNReflexive> reflexive() const;
    // The listener's port, 0 until known.
    std::uint16_t localPort() const;
    bool listening() const;
    // Five one-byte 0x09 datagrams from the listener's port towards a viewer's public address;
    // nothing without a listener or for port 0.
    void punch(const std::string& host, std::uint16_t port);
    // Closes the listener; the public address stays known, and a later start asks again.
    void stop();

    // Gets every new connection, unstarted, on the listener's thread. Set before start().
    void setOnConnection(ConnectionHandler handler);

private:
    explicit NATHostPuncher(Services services);
    void discovered(std::optional<STUNDiscovery> found, PunchKeySource key, Started done);

    Services s_;
    mutable std::mutex mutex_;
    std::shared_ptr<HolePunchListener> listener_;
    std::optional<STUNReflexive> reflexive_;
    std::uint16_t localPort_ = 0;
    bool started_ = false;
    ConnectionHandler onConnection_;
    const Logger log_{NATHolePunch::logSubsystem, NATHolePunch::logCategory};
};

}  // namespace orvane
