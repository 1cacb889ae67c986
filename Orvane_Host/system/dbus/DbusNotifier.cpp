#include "Orvane_Host/system/dbus/DbusNotifier.h"

#include <systemd/sd-bus.h>

#include "OrvaneKit/base/BoundedText.h"
#include "OrvaneKit/base/Logger.h"
#include "Orvane_Host/system/dbus/SessionBus.h"

namespace orvane {

namespace {

const Logger& log() {
    static const Logger l{"com.nimbrel.kelsap.host", "notifications"};
    return l;
}

// Urgency "normal" in the notification specification's byte scale.
constexpr std::uint8_t urgencyNormal = 1;

}  // namespace

DbusNotifier::DbusNotifier() = default;

DbusNotifier::DbusNotifier(std::string busAddress) : address_(std::move(busAddress)) {}

DbusNotifier::~DbusNotifier() {
    std::lock_guard lock(mutex_);
    dropLocked();
}

void DbusNotifier::dropLocked() {
    if (bus_) {
        sd_bus_flush_close_unref(bus_);
        bus_ = nullptr;
    }
}

bool DbusNotifier::connectLocked() {
    if (bus_) return true;
    if (sessionbus::open(address_, &bus_) < 0) {
        bus_ = nullptr;
        return false;
    }
    return true;
}

void DbusNotifier::post(const std::string& title, const std::string& body) {
    std::lock_guard lock(mutex_);
    // One retry: the bus may have gone away since the last notification.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!connectLocked()) break;
        sd_bus_message* m = nullptr;
        int r = sd_bus_message_new_method_call(bus_, &m, "org.freedesktop.Notifications",
                                               "/org/freedesktop/Notifications",
                                               "org.freedesktop.Notifications", "Notify");
        if (r >= 0)
            r = sd_bus_message_append(m, "susss", appName, 0u, "", title.c_str(), body.c_str());
        if (r >= 0) r = sd_bus_message_append(m, "as", 0);
        if (r >= 0) r = sd_bus_message_append(m, "a{sv}", 1, "urgency", "y", urgencyNormal);
        if (r >= 0) r = sd_bus_message_append(m, "i", -1);
        if (r >= 0) r = sd_bus_message_set_expect_reply(m, 0);
        if (r >= 0) r = sd_bus_send(bus_, m, nullptr);
        if (r >= 0) r = sd_bus_flush(bus_);
        sd_bus_message_unref(m);
        if (r >= 0) {
            // Nothing is awaited; drop whatever the bus sent us meanwhile.
            while (sd_bus_process(bus_, nullptr) > 0) {
            }
            return;
        }
        dropLocked();
    }
    log().notice("notification not shown (no session bus): {} — {}", boundedText(title),
                 boundedText(body));
}

}  // namespace orvane
