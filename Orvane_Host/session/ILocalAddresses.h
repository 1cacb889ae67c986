#pragma once

#include <string>
#include <vector>

namespace orvane {

struct LocalAddressLists {
    std::vector<std::string> ipv4;
    std::vector<std::string> ipv6;
};

// The addresses of this machine's interfaces that are up, loopback and tunnels left out: IPv4
// and global IPv6, each once, sorted.
class ILocalAddresses {
public:
    virtual ~ILocalAddresses() = default;
    virtual LocalAddressLists localAddresses() const = 0;
};

}  // namespace orvane
