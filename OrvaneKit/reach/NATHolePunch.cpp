#include "OrvaneKit/reach/NATHolePunch.h"

#include <charconv>

#include "OrvaneKit/base/Logger.h"
#include "OrvaneKit/security/AccessCode.h"

namespace orvane {

bool NATHolePunch::isEnabled(const SettingsStore& settings) {
    return settings.boolValue(defaultsKey);
}

std::optional<HostPort> NATHolePunch::parseHostPort(const std::string& text) {
    std::string host;
    std::string_view rest;
    if (!text.empty() && text[0] == '[') {
        auto close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':')
            return std::nullopt;
        host = text.substr(1, close - 1);
        rest = std::string_view(text).substr(close + 2);
    } else {
        auto colon = text.rfind(':');
        if (colon == std::string::npos || text.find(':') != colon) return std::nullopt;
        host = text.substr(0, colon);
        rest = std::string_view(text).substr(colon + 1);
    }
    unsigned value = 0;
    auto [end, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), value);
    if (host.empty() || rest.empty() || ec != std::errc() || end != rest.data() + rest.size() ||
        value < 1 || value > 65535)
        return std::nullopt;
    return HostPort{host, static_cast<std::uint16_t>(value)};
}

HostPort NATHolePunch::stunServer(const SettingsStore& settings) {
    if (auto text = settings.string(stunServerKey); text && !text->empty()) {
        if (auto parsed = parseHostPort(*text)) return *parsed;
        Logger(logSubsystem, logCategory)
            .error("NAT: ignoring {} \"{}\": not host:port", stunServerKey, *text);
    }
    return stunServer();
}

HolePunchParameters holePunchParameters(const std::string& accessCode,
                                        std::optional<std::uint16_t> localPort) {
    return {AccessCode::pskKey(accessCode), localPort};
}

}  // namespace orvane
