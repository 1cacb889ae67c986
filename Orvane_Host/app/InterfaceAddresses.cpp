#include "Orvane_Host/app/InterfaceAddresses.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>

#include <algorithm>

namespace orvane {

LocalAddressLists InterfaceAddresses::localAddresses() const {
    LocalAddressLists out;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return out;
    for (ifaddrs* i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr || !(i->ifa_flags & IFF_UP) || (i->ifa_flags & IFF_LOOPBACK)) continue;
        int family = i->ifa_addr->sa_family;
        if (family != AF_INET && family != AF_INET6) continue;
        char host[NI_MAXHOST];
        socklen_t len = family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
        if (getnameinfo(i->ifa_addr, len, host, sizeof host, nullptr, 0, NI_NUMERICHOST) != 0)
            continue;
        (family == AF_INET ? out.ipv4 : out.ipv6).push_back(host);
    }
    freeifaddrs(list);
    std::sort(out.ipv4.begin(), out.ipv4.end());
    std::sort(out.ipv6.begin(), out.ipv6.end());
    return out;
}

}  // namespace orvane
