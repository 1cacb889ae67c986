#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "OrvaneKit/base/Logger.h"
#include "OrvaneKit/net/ServiceAdvertiser.h"
#include "OrvaneKit/protocol/MessageType.h"
#include "OrvaneKit/protocol/OrvaneConnection.h"
#include "OrvaneKit/security/BruteForceGuard.h"
#include "Orvane_Host/session/ISessionListener.h"
#include "Orvane_Host/session/RemoteClient.h"
#include "Orvane_Host/session/SessionServices.h"

namespace orvane {

struct FrontDoorConfig {
    static constexpr std::uint16_t sessionPort = 5895;
    ISessionListenerFactory& listeners;
    ServiceAdvertiser& advertiser;
    ConnectionEnvironment connections;  // identity and randomness of accepted connections
    std::function<std::string()> machineName;
    std::uint16_t port = sessionPort;  // tests listen on 0
};

// The host's front door: the session listener, accepting connections, counting wrong codes and
// blocking those who guess. Owns the listener and the guard; main actor only.
class FrontDoor : SessionPart {
public:
    // What the front door needs of the rest of the host.
    class Host {
    public:
        // The code a viewer must hold now: the support code while one is set.
        virtual std::string currentCode() const = 0;
        virtual const bool& isShuttingDown() const = 0;
        virtual void setListenerState(std::string state) = 0;
        // A new connection, started; the host lists it and waits for its Hello.
        virtual void clientAccepted(const std::shared_ptr<RemoteClient>& client) = 0;
        virtual void removeClient(const std::shared_ptr<RemoteClient>& client,
                                  std::optional<bool> wasSession) = 0;
        // Takes each received message on the connection's queue; callable from any thread.
        using Receiver =
            std::function<void(MessageType, Bytes, const std::shared_ptr<RemoteClient>&)>;
        virtual Receiver messageReceiver() = 0;

    protected:
        ~Host() = default;
    };

    FrontDoor(const SessionServices& services, std::weak_ptr<void> core, Host& host);

    // Install before start().
    void configure(FrontDoorConfig config);
    // The name viewers show for this machine.
    std::string machineName() const;

    // Opens the listener, or gives a working one the current code.
    void start();
    // Shutdown: the listener closes, the advertisement is withdrawn, no restart follows.
    void close();
    // `holePunched`: the connection came in over the NAT hole punch rather than the listener.
    void accept(std::shared_ptr<Transport> connection, bool holePunched = false);
    // The key of the code the listener takes now, for transports that read it at each
    // handshake; follows every start(). Callable from any thread.
    std::function<Bytes()> currentKeySource() const;
    void listenerStateChanged(const ConnState& state);
    // A state report of a client's connection. `wrongCode` is set on the first report that
    // shows the peer holds another code, and never again for that connection.
    void clientStateChanged(const ConnState& state, const std::weak_ptr<RemoteClient>& client,
                            const std::string& address, bool wrongCode);
    void noteWrongCode(const std::string& address);
    // Whether the guard blocks `address` now.
    bool isBlocked(const std::string& address) const;
    void restartAfterFailure();

    const BruteForceGuard& bruteForce() const { return guard_; }
    const std::shared_ptr<ISessionListener>& listener() const { return listener_; }

private:
    double guardNow() const;

    Host& host_;
    const Logger log{"com.nimbrel.kelsap.host", "net"};
    std::optional<FrontDoorConfig> config_;
    std::shared_ptr<ISessionListener> listener_;
    bool listenerReady_ = false;  // the current listener's last report was ready
    TimerHandle restart_;
    BruteForceGuard guard_ = BruteForceGuard::forHost();
    struct SharedKey {
        std::mutex mutex;
        Bytes key;
    };
    const std::shared_ptr<SharedKey> key_ = std::make_shared<SharedKey>();
};

}  // namespace orvane
