#pragma once

#include <mutex>
#include <optional>
#include <string>

#include "Orvane_Host/system/Notifier.h"

struct sd_bus;

namespace orvane {

// Desktop notifications through org.freedesktop.Notifications on the session bus. Sends
// without waiting for the answer, so a slow notification daemon never holds up the caller;
// errors are ignored. Without a session bus the notification becomes a log line.
class DbusNotifier final : public Notifier {
public:
    // The session bus of the environment ($DBUS_SESSION_BUS_ADDRESS, else $XDG_RUNTIME_DIR/bus).
    DbusNotifier();
    // A given bus address, e.g. "unix:path=/run/user/1000/bus".
    explicit DbusNotifier(std::string busAddress);
    ~DbusNotifier() override;
    DbusNotifier(const DbusNotifier&) = delete;
    DbusNotifier& operator=(const DbusNotifier&) = delete;

    void post(const std::string& title, const std::string& body) override;

    static constexpr const char* appName = "Orvane Host";

private:
    bool connectLocked();
    void dropLocked();

    std::optional<std::string> address_;
    std::mutex mutex_;
    sd_bus* bus_ = nullptr;
};

}  // namespace orvane
