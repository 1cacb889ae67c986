#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Orvane_Host/session/RemoteClient.h"
#include "Orvane_Host/session/SessionServices.h"

namespace orvane {

// Ends viewers that went silent, and, with an idle limit set, viewers that stopped using the
// machine. Runs while there are viewers; main actor only.
class IdleWatch : SessionPart {
public:
    using Clients = std::vector<std::shared_ptr<RemoteClient>>;
    static constexpr const char* silentReason = "No response for 20 seconds";

    // What the watchdog needs of the rest of the host.
    class Host {
    public:
        virtual Clients viewers() const = 0;
        virtual std::int64_t idleTimeoutMinutes() const = 0;
        virtual void endSession(const std::shared_ptr<RemoteClient>& client,
                                const std::string& reason) = 0;
        virtual void removeClient(const std::shared_ptr<RemoteClient>& client,
                                  std::optional<bool> wasSession) = 0;

    protected:
        ~Host() = default;
    };

    IdleWatch(const SessionServices& services, std::weak_ptr<void> core, Host& host);

    // Starts the watchdog unless it runs; it stops by itself once no viewer is left.
    void start();
    void stop();
    bool isRunning() const { return static_cast<bool>(timer_); }
    const TimerHandle& timer() const { return timer_; }

private:
    void tick(std::uint64_t generation);

    Host& host_;
    TimerHandle timer_;
    // A tick of an older watchdog must not end a newer one.
    std::uint64_t generation_ = 0;
};

}  // namespace orvane
