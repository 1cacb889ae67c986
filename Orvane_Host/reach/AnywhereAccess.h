#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "OrvaneKit/base/Clock.h"
#include "OrvaneKit/base/Logger.h"
#include "OrvaneKit/base/MainActor.h"
#include "OrvaneKit/base/SettingsStore.h"
#include "OrvaneKit/base/Signal.h"
#include "OrvaneKit/base/TimerService.h"
#include "OrvaneKit/cloud/OrvaneCloud.h"
#include "OrvaneKit/reach/NATHostPuncher.h"
#include "Orvane_Host/reach/PortMapper.h"
#include "Orvane_Host/session/IAnywhereAccess.h"
#include "Orvane_Host/session/ILocalAddresses.h"
#include "Orvane_Host/session/IOutsideRoutes.h"

namespace orvane {

// Keeps the machine reachable from outside its network and its record in the owner's cloud
// fresh, and runs the commands the owner's other devices leave for it. Main actor only; the
// store's blocking calls run on the cloud executor, one at a time.
class AnywhereAccess final : public IAnywhereAccess,
                             public IOutsideRoutes,
                             public std::enable_shared_from_this<AnywhereAccess> {
public:
    static constexpr const char* macIDKey = "hostDeviceID";
    static constexpr std::uint16_t sessionPort = 5895;
    static constexpr auto tickInterval = std::chrono::seconds(30);
    // A command older than this is deleted without running.
    static constexpr double commandLifetime = 600.0;

    // What the record says of the machine, read on the main actor when a publication starts.
    struct Facts {
        std::function<std::string()> accessCode;
        std::function<std::string()> iCloudAuthToken;
        std::function<std::string()> name;
        std::function<std::string()> model;
        std::function<std::string()> fingerprint;
    };

    struct Services {
        MainActor& mainActor;
        const Clock& clock;
        TimerService& timers;
        SettingsStore& settings;
        std::shared_ptr<CloudStore> store;
        // Where the store's blocking calls run: a strand of the background pool.
        asio::any_io_executor cloudExecutor;
        const ILocalAddresses& addresses;
        Facts facts;
        // The router; none asks nothing and reports no mapping.
        PortMappingBackend* router = nullptr;
        // Meeting viewers behind NATs, when the user turns it on.
        struct HolePunch {
            // None: this build cannot listen for punched connections.
            HolePunchListenerFactory listeners;
            // The key viewers must hold now, read at each handshake.
            PunchKeySource key;
            // Takes each punched connection, unstarted, on the main actor.
            std::function<void(std::shared_ptr<Transport>)> accept;
            // STUNClient::discover when empty.
            STUNDiscover discover;
        } holePunch;
    };

    static std::shared_ptr<AnywhereAccess> make(Services services);

    // Starts the mapping, the cloud set-up and the 30 s tick; a second call only replaces
    // `perform`.
    void start(Perform perform) override;
    // Stops the tick and the mapping and forgets `perform`. Pushes still fetch and delete.
    void stop() override;
    // One publication at a time: a request made while one runs is merged into a single one
    // that starts afterwards and reads the state then.
    asio::awaitable<void> publish() override;
    asio::awaitable<void> fetchCommands();

    const std::string& macID() const { return macID_; }
    const std::string& status() const { return status_; }
    const std::optional<std::string>& publicEndpoint() const { return publicEndpoint_; }
    // Emitted on the main actor with each new status text.
    Signal<const std::string&> statusChanged;
    // Emitted on the main actor when the router's mapping appears, changes or goes.
    Signal<> routesChanged;
    // The port to map on the router (the session port unless the host listens elsewhere; 0:
    // not known yet, nothing is asked); mapped again at once when it changes while started.
    void mapSessionPort(std::uint16_t port);

    std::optional<PortMapping> routerMapping() const override { return portMapper_.external(); }
    std::optional<STUNReflexive> holePunchAddress() const override;

    // The stored identifier, or a new upper-case UUID stored at once.
    static std::string loadMacID(SettingsStore& settings);
    // Only 2000::/3: link-local and unique-local addresses do not reach outside.
    static bool isGlobalUnicastIPv6(const std::string& address);

    ~AnywhereAccess() override;

private:
    struct NoRouter;
    explicit AnywhereAccess(Services services);
    void setStatus(std::string s);
    asio::awaitable<void> setUp();
    asio::awaitable<void> publishOnce();
    asio::awaitable<void> tick();
    asio::awaitable<void> startHolePunch();
    asio::awaitable<void> punchTowardsViewer();
    void scheduleTick();
    // Runs f on the cloud executor and resumes on the main actor with its result.
    template <class F>
    auto offMain(F f) -> asio::awaitable<decltype(f())>;
    template <class Body>
    void spawn(Body body);

    Services s_;
    std::unique_ptr<PortMappingBackend> noRouter_;
    OrvaneCloud cloud_;
    std::string macID_;
    std::string status_ = "Starting\u2026";
    std::optional<std::string> publicEndpoint_;
    PortMapper portMapper_;
    std::shared_ptr<NATHostPuncher> natPuncher_;
    TimerHandle timer_;
    std::set<std::string> handledCommands_;
    Perform perform_;
    bool started_ = false;
    std::uint16_t mappedPort_ = sessionPort;
    MonoTime tickOrigin_{};
    std::int64_t ticksDone_ = 0;
    // Publications: how many were asked for, how many a finished one covered, and who waits.
    bool publishing_ = false;
    std::uint64_t publishAsked_ = 0;
    std::uint64_t publishCovered_ = 0;
    std::vector<std::pair<std::uint64_t, std::function<void()>>> publishWaiters_;
    const Logger log_{"com.nimbrel.kelsap.host", "cloud"};
};

}  // namespace orvane
