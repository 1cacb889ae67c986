#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "Orvane_Host/system/AwakeInhibitor.h"

namespace orvane {

// Takes a logind "sleep:idle" block lock on the system bus: the machine neither suspends nor
// runs its idle action while the lock's descriptor is open. Each begin waits at most `limit`
// for logind.
class LogindAwakeInhibitor final : public AwakeInhibitor {
public:
    // The system bus of the environment ($DBUS_SYSTEM_BUS_ADDRESS, else the default one).
    LogindAwakeInhibitor();
    explicit LogindAwakeInhibitor(std::string busAddress,
                                  std::chrono::milliseconds limit = std::chrono::seconds(2));

    std::unique_ptr<Activity> begin(const std::string& reason) override;

    static constexpr const char* what = "sleep:idle";
    static constexpr const char* who = "Orvane";

private:
    std::optional<std::string> address_;
    std::chrono::milliseconds limit_ = std::chrono::seconds(2);
};

}  // namespace orvane
