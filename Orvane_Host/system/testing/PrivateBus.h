#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>

namespace orvane {

// A private D-Bus bus with its own dbus-daemon, never the machine's, with no service files, so
// nothing on the machine is started on demand. address() is empty when the daemon did not start.
class PrivateBus {
public:
    PrivateBus();
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
