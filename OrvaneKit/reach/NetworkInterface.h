#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/ip/address.hpp>
#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "OrvaneKit/base/Errors.h"
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

// One entry of the system's interface table: an interface and one of its addresses (none for
// the link-level entry every interface has).
struct InterfaceAddress {
    std::string name;
    unsigned flags = 0;                        // IFF_UP, IFF_LOOPBACK, ...
    std::optional<asio::ip::address> address;  // without an IPv6 scope
    std::string text;  // the numeric form, with "%scope" for link-local IPv6; empty without
};

// The interface table, read once per call; the one place this process walks it.
std::vector<InterfaceAddress> interfaceAddresses();

// The link kind of the interface a connection runs over; `other` when unknown.
LinkKind linkKindOf(std::string_view interfaceName,
                    const std::filesystem::path& sysRoot = "/sys/class/net");

// Makes a socket send and receive only through the interface `name` (SO_BINDTODEVICE). Returns
// why it cannot (a POSIX error whose text names the interface): no such interface (ENODEV), not
// allowed, or the system's reason.
std::optional<NetError> bindSocketToInterface(int fd, const std::string& name);

}  // namespace orvane
