#include "Orvane_Host/reach/LocalAddresses.h"

#include <net/if.h>

#include <algorithm>
#include <charconv>
#include <set>

namespace orvane {

namespace {

bool globalUnicast(std::string_view text) {
    auto head = text.substr(0, text.find(':'));
    unsigned hextet = 0;
    auto [end, ec] = std::from_chars(head.data(), head.data() + head.size(), hextet, 16);
    if (head.empty() || ec != std::errc() || end != head.data() + head.size() || hextet > 0xFFFF)
        return false;
    return (hextet & 0xE000) == 0x2000;
}

}  // namespace

LocalAddressLists localAddresses(const std::vector<InterfaceAddress>& table,
                                 const std::vector<std::string>& skippedPrefixes) {
    std::set<std::string> v4, v6;
    for (const auto& entry : table) {
        if (!entry.address || entry.text.empty()) continue;
        if ((entry.flags & (IFF_UP | IFF_LOOPBACK)) != IFF_UP) continue;
        bool skipped = std::any_of(skippedPrefixes.begin(), skippedPrefixes.end(),
                                   [&](const std::string& p) { return entry.name.starts_with(p); });
        if (skipped) continue;
        if (entry.address->is_v4()) {
            v4.insert(entry.text);
        } else {
            std::string text = entry.text.substr(0, entry.text.find('%'));
            if (globalUnicast(text)) v6.insert(std::move(text));
        }
    }
    return {{v4.begin(), v4.end()}, {v6.begin(), v6.end()}};
}

LocalAddressLists LocalAddresses::localAddresses() const {
    return orvane::localAddresses(table_());
}

}  // namespace orvane
