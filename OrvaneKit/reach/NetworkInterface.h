#pragma once

#include <asio/any_io_executor.hpp>
#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "OrvaneKit/reach/LinkKind.h"

namespace orvane {

// One network interface of this machine, as the system names and types it.
struct NetworkInterface {
    enum class Type { wifi, wiredEthernet, cellular, loopback, other };

    std::string name;
    Type type = Type::other;
    unsigned index = 0;

    bool operator==(const NetworkInterface&) const = default;

    // The type from sysfs: `type` 772 is loopback, 1 is Ethernet, which is Wi-Fi when the device
    // has a `wireless` folder or its `uevent` says DEVTYPE=wlan. `sysRoot` stands in for
    // /sys/class/net in tests.
    static Type typeOf(std::string_view name,
                       const std::filesystem::path& sysRoot = "/sys/class/net");

    // The interfaces that are up, in system order, each once.
    static std::vector<NetworkInterface> list(
        const std::filesystem::path& sysRoot = "/sys/class/net");

    // Orders interfaces for peer-to-peer use, lower first; nothing for interfaces not to use
    // (cellular, loopback, tunnels).
    static std::optional<int> rank(const NetworkInterface& interface);

    // Calls `done` once, on `executor`, with the interface of that exact name or nothing. The
    // first reading of the interface table decides; the time-out only bounds a reading that does
    // not come.
    static void named(std::string name, std::chrono::milliseconds timeout,
                      asio::any_io_executor executor,
                      std::function<void(std::optional<NetworkInterface>)> done);
};

// The link kind of the interface a connection runs over; `other` when unknown.
LinkKind linkKindOf(std::string_view interfaceName,
                    const std::filesystem::path& sysRoot = "/sys/class/net");

}  // namespace orvane
