#include "Orvane_Host/system/dbus/DbusFileRevealer.h"

#include <systemd/sd-bus.h>

#include <cctype>
#include <cstdio>

#include "Orvane_Host/system/dbus/SessionBus.h"

namespace orvane {

namespace {

constexpr const char* service = "org.freedesktop.FileManager1";

// Whether something owns the file manager's name now, or the bus can start it. Both are answered
// by the bus itself, so neither waits on a file manager.
bool fileManagerThere(sd_bus* bus) {
    sd_bus_message* reply = nullptr;
    int owned = 0;
    if (sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                           "org.freedesktop.DBus", "NameHasOwner", nullptr, &reply, "s",
                           service) >= 0)
        sd_bus_message_read(reply, "b", &owned);
    sd_bus_message_unref(reply);
    if (owned) return true;
    reply = nullptr;
    bool activatable = false;
    if (sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                           "org.freedesktop.DBus", "ListActivatableNames", nullptr, &reply,
                           "") >= 0 &&
        sd_bus_message_enter_container(reply, 'a', "s") >= 0) {
        const char* name = nullptr;
        while (!activatable && sd_bus_message_read(reply, "s", &name) > 0)
            activatable = std::string(name) == service;
    }
    sd_bus_message_unref(reply);
    return activatable;
}

}  // namespace

std::string DbusFileRevealer::fileURL(const std::filesystem::path& path) {
    std::string out = "file://";
    for (unsigned char c : path.string()) {
        if (std::isalnum(c) || c == '/' || c == '-' || c == '.' || c == '_' || c == '~') {
            out += static_cast<char>(c);
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            out += hex;
        }
    }
    return out;
}

DbusFileRevealer::~DbusFileRevealer() {
    if (bus_) sd_bus_flush_close_unref(bus_);
}

void DbusFileRevealer::reveal(const std::filesystem::path& file) {
    // The connection stays open: a bus may drop what a connection sent just before it closed.
    if (!bus_ && sessionbus::open(address_, &bus_) < 0) bus_ = nullptr;
    if (bus_ && fileManagerThere(bus_)) {
        sd_bus_message* m = nullptr;
        int r = sd_bus_message_new_method_call(bus_, &m, service, "/org/freedesktop/FileManager1",
                                               service, "ShowItems");
        if (r >= 0) r = sd_bus_message_append(m, "as", 1, fileURL(file).c_str());
        if (r >= 0) r = sd_bus_message_append(m, "s", "");
        if (r >= 0) r = sd_bus_message_set_expect_reply(m, 0);
        if (r >= 0) r = sd_bus_send(bus_, m, nullptr);
        if (r >= 0) r = sd_bus_flush(bus_);
        sd_bus_message_unref(m);
        if (r >= 0) {
            while (sd_bus_process(bus_, nullptr) > 0) {
            }
            return;
        }
    }
    if (bus_) {
        // Gone or broken: the next reveal connects again.
        sd_bus_flush_close_unref(bus_);
        bus_ = nullptr;
    }
    fallback_.openURL(fileURL(file.parent_path()));
}

}  // namespace orvane
