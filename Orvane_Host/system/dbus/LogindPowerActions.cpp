#include "Orvane_Host/system/dbus/LogindPowerActions.h"

#include <systemd/sd-bus.h>
#include <systemd/sd-login.h>

#include <chrono>
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

// The session logind resolves to the caller's own (or the user's display session).
constexpr const char* autoSessionPath = "/org/freedesktop/login1/session/auto";

std::string describe(int r, const sd_bus_error& error) {
    if (sd_bus_error_is_set(&error))
        return std::string(error.name) + (error.message ? std::string(": ") + error.message : "");
    return std::strerror(-r);
}

}  // namespace

LogindPowerActions::LogindPowerActions() : sessionId_(currentSessionId()) {}

LogindPowerActions::LogindPowerActions(std::string busAddress)
    : address_(std::move(busAddress)), sessionId_(currentSessionId()) {}

LogindPowerActions::LogindPowerActions(std::string busAddress, std::string sessionId,
                                       std::chrono::milliseconds limit)
    : address_(std::move(busAddress)), sessionId_(std::move(sessionId)), limit_(limit) {}

LogindPowerActions::~LogindPowerActions() {
    std::lock_guard lock(mutex_);
    dropLocked();
}

std::string LogindPowerActions::currentSessionId() {
    if (const char* env = std::getenv("XDG_SESSION_ID"); env && *env) return env;
    char* session = nullptr;
    std::string id;
    if (sd_pid_get_session(0, &session) >= 0 && session) id = session;
    std::free(session);
    return id;
}

void LogindPowerActions::dropLocked() {
    if (bus_) {
        // No flush: a bus that stopped reading would hold us up.
        sd_bus_close_unref(bus_);
        bus_ = nullptr;
    }
}

int LogindPowerActions::connectLocked(Deadline deadline) {
    if (bus_) return 0;
    sd_bus* b = nullptr;
    if (int r = systembus::connect(systembus::address(address_), deadline, &b); r < 0) return r;
    bus_ = b;
    return 0;
}

void LogindPowerActions::lockScreen() {
    call("lock the session", [this](sd_bus* bus, sd_bus_message** m) {
        int r;
        if (!sessionId_.empty()) {
            r = sd_bus_message_new_method_call(bus, m, "org.freedesktop.login1",
                                               "/org/freedesktop/login1",
                                               "org.freedesktop.login1.Manager", "LockSession");
            if (r >= 0) r = sd_bus_message_append(*m, "s", sessionId_.c_str());
        } else {
            r = sd_bus_message_new_method_call(bus, m, "org.freedesktop.login1", autoSessionPath,
                                               "org.freedesktop.login1.Session", "Lock");
        }
        return r;
    });
}

void LogindPowerActions::restart() {
    call("restart", [](sd_bus* bus, sd_bus_message** m) {
        int r = sd_bus_message_new_method_call(bus, m, "org.freedesktop.login1",
                                               "/org/freedesktop/login1",
                                               "org.freedesktop.login1.Manager", "Reboot");
        // Interactive: the system's policy may ask the person at the machine.
        if (r >= 0) r = sd_bus_message_append(*m, "b", 1);
        return r;
    });
}

void LogindPowerActions::call(const char* what, const MakeCall& make) {
    std::lock_guard lock(mutex_);
    // Runs on the input injector's queue or a worker: a hung bus or logind must not hold it long.
    const auto deadline = std::chrono::steady_clock::now() + limit_;
    std::string failure;
    // One retry, only when the connection itself has gone (e.g. the bus daemon restarted);
    // an answer from logind, even an error, and a timeout are final.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (int r = connectLocked(deadline); r < 0) {
            failure = std::string("no system bus (") + std::strerror(-r) + ")";
            break;
        }
        sd_bus_message* m = nullptr;
        int r = make(bus_, &m);
        sd_bus_error error = SD_BUS_ERROR_NULL;
        sd_bus_message* reply = nullptr;
        if (r >= 0) r = sd_bus_call(bus_, m, usecLeft(deadline), &error, &reply);
        sd_bus_message_unref(m);
        sd_bus_message_unref(reply);
        failure = r >= 0 ? std::string() : describe(r, error);
        sd_bus_error_free(&error);
        if (r >= 0) {
            // Drop whatever else the bus sent meanwhile so it does not pile up.
            while (sd_bus_process(bus_, nullptr) > 0) {
            }
            return;
        }
        if (sd_bus_is_open(bus_) > 0) break;
        dropLocked();
    }
    log().error("could not {}: {}", what, failure);
}

}  // namespace orvane
