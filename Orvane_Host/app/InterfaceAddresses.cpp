#include "Orvane_Host/app/InterfaceAddresses.h"

#include <net/if.h>

#include <algorithm>

#include "OrvaneKit/reach/NetworkInterface.h"

namespace orvane {

LocalAddressLists InterfaceAddresses::localAddresses() const {
    LocalAddressLists out;
    for (const auto& a : interfaceAddresses()) {
        if (!a.address || a.text.empty() || !(a.flags & IFF_UP) || (a.flags & IFF_LOOPBACK))
            continue;
        (a.address->is_v4() ? out.ipv4 : out.ipv6).push_back(a.text);
    }
    std::sort(out.ipv4.begin(), out.ipv4.end());
    std::sort(out.ipv6.begin(), out.ipv6.end());
    return out;
}

}  // namespace orvane
