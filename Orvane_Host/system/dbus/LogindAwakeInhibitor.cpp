#include "Orvane_Host/system/dbus/LogindAwakeInhibitor.h"

#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "OrvaneKit/base/Logger.h"
#include "Orvane_Host/system/dbus/SystemBus.h"

namespace orvane {

namespace {

const Logger& log() {
    static const Logger l{"com.nimbrel.kelsap.host", "power"};
    return l;
}

using systembus::Deadline;
using systembus::usecLeft;

// The lock is the descriptor: logind releases it when the last copy is closed.
class Lock final : public AwakeInhibitor::Activity {
public:
    explicit Lock(int fd) : fd_(fd) {}
    ~Lock() override {
        if (fd_ >= 0) close(fd_);
    }

private:
    int fd_;
};

class Nothing final : public AwakeInhibitor::Activity {};

}  // namespace

LogindAwakeInhibitor::LogindAwakeInhibitor() = default;

LogindAwakeInhibitor::LogindAwakeInhibitor(std::string busAddress, std::chrono::milliseconds limit)
    : address_(std::move(busAddress)), limit_(limit) {}

std::unique_ptr<AwakeInhibitor::Activity> LogindAwakeInhibitor::begin(const std::string& reason) {
    const std::string address = systembus::address(address_);
    const Deadline deadline = std::chrono::steady_clock::now() + limit_;
    sd_bus* bus = nullptr;
    if (int r = systembus::connect(address, deadline, &bus); r < 0) {
        log().error("cannot keep the machine awake: no system bus ({})", std::strerror(-r));
        return std::make_unique<Nothing>();
    }
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* m = nullptr;
    sd_bus_message* reply = nullptr;
    int fd = -1;
    int r =
        sd_bus_message_new_method_call(bus, &m, "org.freedesktop.login1", "/org/freedesktop/login1",
                                       "org.freedesktop.login1.Manager", "Inhibit");
    if (r >= 0) r = sd_bus_message_append(m, "ssss", what, who, reason.c_str(), "block");
    if (r >= 0) r = sd_bus_call(bus, m, usecLeft(deadline), &error, &reply);
    if (r >= 0) {
        int received = -1;
        r = sd_bus_message_read(reply, "h", &received);
        // The reply owns its descriptor; ours must outlive it and the connection.
        if (r >= 0) fd = fcntl(received, F_DUPFD_CLOEXEC, 3);
        if (r >= 0 && fd < 0) r = -errno;
    }
    if (r < 0) {
        const std::string why =
            sd_bus_error_is_set(&error)
                ? std::string(error.name) + (error.message ? std::string(": ") + error.message : "")
                : std::strerror(-r);
        log().error("cannot keep the machine awake: {}", why);
    }
    sd_bus_error_free(&error);
    sd_bus_message_unref(m);
    sd_bus_message_unref(reply);
    sd_bus_close_unref(bus);
    if (fd < 0) return std::make_unique<Nothing>();
    return std::make_unique<Lock>(fd);
}

}  // namespace orvane
