#include "Orvane_Host/system/dbus/HostBusService.h"

#include <systemd/sd-bus.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "Orvane_Host/system/dbus/SessionBus.h"

namespace orvane {

struct HostBusCallbacks {
    static int onCall(sd_bus_message* m, void* userdata, sd_bus_error* error);
};

std::unique_ptr<HostBusService> HostBusService::start(MainActor& mainActor, Actions actions,
                                                      const std::optional<std::string>& address,
                                                      Outcome& outcome) {
    sd_bus* bus = nullptr;
    if (sessionbus::open(address, &bus) < 0) {
        outcome = Outcome::noBus;
        return nullptr;
    }
    std::unique_ptr<HostBusService> s(new HostBusService(mainActor, std::move(actions), bus));
    static const sd_bus_vtable methods[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_METHOD("GetAccessCode", "", "ss", &HostBusCallbacks::onCall,
                      SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD("ChangeAccessCode", "", "ss", &HostBusCallbacks::onCall,
                      SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD("DisconnectEveryone", "", "s", &HostBusCallbacks::onCall,
                      SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD("Show", "", "", &HostBusCallbacks::onCall, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_VTABLE_END,
    };
    if (sd_bus_add_object_vtable(bus, nullptr, path, interface, methods, s.get()) < 0) {
        outcome = Outcome::noBus;
        return nullptr;
    }
    // Only one host per session: a second copy finds the name taken and asks the first.
    if (sd_bus_request_name(bus, name, 0) < 0) {
        outcome = Outcome::nameTaken;
        return nullptr;
    }
    outcome = Outcome::started;
    s->thread_ = std::thread([raw = s.get()] {
        while (!raw->stop_) {
            while (sd_bus_process(raw->bus_, nullptr) > 0) {
            }
            raw->answerQueued();
            sd_bus_wait(raw->bus_, 10'000);
        }
    });
    return s;
}

HostBusService::HostBusService(MainActor& mainActor, Actions actions, sd_bus* bus)
    : mainActor_(mainActor), actions_(std::move(actions)), bus_(bus) {}

HostBusService::~HostBusService() {
    *alive_ = false;
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    sd_bus_flush_close_unref(bus_);
}

void HostBusService::answerQueued() {
    std::deque<std::function<void()>> ready;
    {
        std::lock_guard lock(mutex_);
        ready.swap(replies_);
    }
    for (auto& send : ready) send();
}

int HostBusCallbacks::onCall(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* self = static_cast<HostBusService*>(userdata);
    std::string member = sd_bus_message_get_member(m);
    sd_bus_message_ref(m);
    auto alive = self->alive_;
    self->mainActor_.post([self, alive, m, member] {
        if (!*alive) {
            sd_bus_message_unref(m);
            return;
        }
        std::vector<std::string> out;
        const auto& a = self->actions_;
        if (member == "GetAccessCode" || member == "ChangeAccessCode") {
            auto answer = member == "GetAccessCode" ? a.getAccessCode() : a.changeAccessCode();
            out = {answer.value, answer.dialog};
        } else if (member == "DisconnectEveryone") {
            out = {a.disconnectEveryone()};
        } else if (a.show) {
            a.show();
        }
        std::lock_guard lock(self->mutex_);
        self->replies_.push_back([m, out] {
            sd_bus_message* reply = nullptr;
            if (sd_bus_message_new_method_return(m, &reply) >= 0) {
                for (const auto& s : out) sd_bus_message_append_basic(reply, 's', s.c_str());
                sd_bus_send(nullptr, reply, nullptr);
                sd_bus_message_unref(reply);
            }
            sd_bus_message_unref(m);
        });
    });
    return 1;
}

HostBusCall callHostBus(const std::string& method, bool allowStart,
                        const std::optional<std::string>& address) {
    HostBusCall result;
    sd_bus* bus = nullptr;
    if (sessionbus::open(address, &bus) < 0) return result;
    sd_bus_message* call = nullptr;
    sd_bus_message* reply = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int r = sd_bus_message_new_method_call(bus, &call, HostBusService::name, HostBusService::path,
                                           HostBusService::interface, method.c_str());
    if (r >= 0) r = sd_bus_message_set_auto_start(call, allowStart);
    if (r >= 0) r = sd_bus_call(bus, call, 60'000'000, &error, &reply);
    if (r >= 0) {
        result.reached = true;
        const char* s = nullptr;
        while (sd_bus_message_read_basic(reply, 's', &s) > 0) result.strings.emplace_back(s);
    } else if (sd_bus_error_is_set(&error) &&
               !sd_bus_error_has_name(&error, "org.freedesktop.DBus.Error.ServiceUnknown") &&
               !sd_bus_error_has_name(&error, "org.freedesktop.DBus.Error.NameHasNoOwner") &&
               !sd_bus_error_has_name(&error, "org.freedesktop.DBus.Error.Spawn.ChildExited")) {
        result.reached = true;
        result.error = error.message ? error.message : error.name;
    }
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    sd_bus_message_unref(call);
    sd_bus_flush_close_unref(bus);
    return result;
}

}  // namespace orvane
