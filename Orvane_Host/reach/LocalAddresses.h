#pragma once

#include <functional>
#include <string>
#include <vector>

#include "OrvaneKit/reach/NetworkInterface.h"
#include "Orvane_Host/session/ILocalAddresses.h"

namespace orvane {

// Interfaces whose addresses are never offered: tunnels, peer-to-peer and internal links.
inline const std::vector<std::string> skippedInterfacePrefixes = {"utun", "awdl", "llw",
                                                                  "anpi", "tun",  "wg"};

// The IPv4 and global IPv6 (2000::/3) addresses of interfaces that are up and not loopback,
// numeric, without zones, each once, sorted by text.
LocalAddressLists localAddresses(
    const std::vector<InterfaceAddress>& table,
    const std::vector<std::string>& skippedPrefixes = skippedInterfacePrefixes);

// The same over the machine's own table, read afresh on every call.
class LocalAddresses final : public ILocalAddresses {
public:
    using Table = std::function<std::vector<InterfaceAddress>()>;
    explicit LocalAddresses(Table table = interfaceAddresses) : table_(std::move(table)) {}
    LocalAddressLists localAddresses() const override;

private:
    Table table_;
};

}  // namespace orvane
