#include "Orvane_Host/session/EndpointText.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>

namespace orvane {

std::string endpointText(const std::string& host) {
    std::string h = host;
    if (h.size() > 2 && h.front() == '[' && h.back() == ']') h = h.substr(1, h.size() - 2);
    std::string lower = h;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    for (const char* prefix : {"::ffff:", "0:0:0:0:0:ffff:"}) {
        std::string p = prefix;
        if (lower.rfind(p, 0) == 0) {
            std::string v4 = h.substr(p.size());
            in_addr a{};
            if (inet_pton(AF_INET, v4.c_str(), &a) == 1) return v4;
        }
    }
    return h;
}

std::string endpointText(const std::optional<HostPort>& endpoint) {
    return endpoint ? endpointText(endpoint->host) : std::string();
}

}  // namespace orvane
