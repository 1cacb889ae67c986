#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "Orvane_Host/system/PowerActions.h"

struct sd_bus;
struct sd_bus_message;

namespace orvane {

// Locks this process's login session and asks for a restart through logind on the system bus.
// Each call waits at most a couple of seconds for logind; failures are logged, never thrown.
// Safe from any thread.
class LogindPowerActions final : public PowerActions {
public:
    // The system bus of the environment ($DBUS_SYSTEM_BUS_ADDRESS, else the default one) and
    // the session of this process ($XDG_SESSION_ID, else the one logind files us under).
    LogindPowerActions();
    // A given bus address, e.g. "unix:path=/run/dbus/system_bus_socket"; session as above.
    explicit LogindPowerActions(std::string busAddress);
    // A given bus and session id; an empty id leaves the choice of session to logind. `limit`
    // bounds each call, connecting included.
    LogindPowerActions(std::string busAddress, std::string sessionId,
                       std::chrono::milliseconds limit = std::chrono::seconds(2));
    ~LogindPowerActions() override;
    LogindPowerActions(const LogindPowerActions&) = delete;
    LogindPowerActions& operator=(const LogindPowerActions&) = delete;

    void lockScreen() override;
    void restart() override;

    // $XDG_SESSION_ID, else logind's session of this process, else "".
    static std::string currentSessionId();

private:
    // Makes the method call on the bus; returns a negative errno on failure.
    using MakeCall = std::function<int(sd_bus*, sd_bus_message**)>;
    void call(const char* what, const MakeCall& make);
    // 0, or a negative errno.
    int connectLocked(std::chrono::steady_clock::time_point deadline);
    void dropLocked();

    std::optional<std::string> address_;
    std::string sessionId_;
    std::chrono::milliseconds limit_ = std::chrono::seconds(2);
    std::mutex mutex_;
    sd_bus* bus_ = nullptr;
};

}  // namespace orvane
