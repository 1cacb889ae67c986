#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>

namespace orvane {

// A private D-Bus bus with its own dbus-daemon, never the machine's. It reads service files only
// from `serviceDir` when one is given, so nothing on the machine is started on demand.
// address() is empty when the daemon did not start.
class PrivateBus {
public:
    explicit PrivateBus(const std::filesystem::path& serviceDir = {});
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    const std::string& address() const { return address_; }

private:
    std::filesystem::path config_;
    pid_t pid_ = -1;
    std::string address_;
};

}  // namespace orvane
