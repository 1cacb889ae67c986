#include "Orvane_Host/system/testing/FakeLogind.h"

#include <poll.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cerrno>

namespace orvane {

namespace {

int onLockSession(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    const char* id = nullptr;
    sd_bus_message_read(m, "s", &id);
    static_cast<FakeLogind*>(userdata)->record(std::string("LockSession ") + id);
    if (std::string(id) == "gone")
        return sd_bus_error_setf(error, "org.freedesktop.login1.NoSuchSession",
                                 "No session '%s' known", id);
    return sd_bus_reply_method_return(m, "");
}

int onLock(sd_bus_message* m, void* userdata, sd_bus_error*) {
    static_cast<FakeLogind*>(userdata)->record(std::string("Lock ") + sd_bus_message_get_path(m));
    return sd_bus_reply_method_return(m, "");
}

int onReboot(sd_bus_message* m, void* userdata, sd_bus_error*) {
    int interactive = 0;
    sd_bus_message_read(m, "b", &interactive);
    static_cast<FakeLogind*>(userdata)->record(std::string("Reboot ") +
                                               (interactive ? "true" : "false"));
    return sd_bus_reply_method_return(m, "");
}

int onInhibit(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    auto* self = static_cast<FakeLogind*>(userdata);
    const char *what, *who, *why, *mode;
    sd_bus_message_read(m, "ssss", &what, &who, &why, &mode);
    self->record(std::string("Inhibit ") + what + "|" + who + "|" + why + "|" + mode);
    if (self->refusesInhibit())
        return sd_bus_error_set(error, "org.freedesktop.DBus.Error.AccessDenied",
                                "Permission denied");
    int fds[2];
    if (pipe(fds) != 0) return -errno;
    // Kept before the reply goes out: the caller may look at it as soon as it has one.
    self->keep(fds[0]);
    int r = sd_bus_reply_method_return(m, "h", fds[1]);  // sd-bus sends a copy
    close(fds[1]);
    return r;
}

}  // namespace

FakeLogind::FakeLogind(const std::string& address, bool refuseInhibit)
    : refuseInhibit_(refuseInhibit) {
    static const sd_bus_vtable manager[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_METHOD("LockSession", "s", "", &onLockSession, 0),
        SD_BUS_METHOD("Reboot", "b", "", &onReboot, 0),
        SD_BUS_METHOD("Inhibit", "ssss", "h", &onInhibit, 0),
        SD_BUS_VTABLE_END,
    };
    static const sd_bus_vtable session[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_METHOD("Lock", "", "", &onLock, 0),
        SD_BUS_VTABLE_END,
    };
    service_.emplace(
        address, "org.freedesktop.login1",
        std::vector<FakeBusService::Object>{
            {"/org/freedesktop/login1", "org.freedesktop.login1.Manager", manager},
            {"/org/freedesktop/login1/session/auto", "org.freedesktop.login1.Session", session}},
        this);
}

FakeLogind::~FakeLogind() {
    service_.reset();
    for (int fd : kept_) close(fd);
}

std::vector<std::string> FakeLogind::calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
}

void FakeLogind::keep(int fd) {
    std::lock_guard lock(mutex_);
    kept_.push_back(fd);
}

bool FakeLogind::held(size_t i) const {
    std::lock_guard lock(mutex_);
    pollfd p{kept_.at(i), POLLIN, 0};
    return poll(&p, 1, 0) == 0;
}

bool FakeLogind::releasedSoon(size_t i) const {
    std::lock_guard lock(mutex_);
    pollfd p{kept_.at(i), POLLIN, 0};
    return poll(&p, 1, 2000) == 1;
}

void FakeLogind::record(std::string call) {
    {
        std::lock_guard lock(mutex_);
        calls_.push_back(call);
    }
    if (onCall) onCall(call);
}

}  // namespace orvane
