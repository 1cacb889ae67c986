#include "OrvaneKit/reach/Pairing.h"

#include <arpa/inet.h>
#include <unicode/brkiter.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <charconv>
#include <memory>

#include "OrvaneKit/reach/ConnectionRoute.h"
#include "OrvaneKit/reach/URLText.h"
#include "OrvaneKit/security/AccessCode.h"

namespace orvane {

namespace {

bool isIPv4(const std::string& text) {
    in_addr a{};
    return inet_pton(AF_INET, text.c_str(), &a) == 1;
}

bool isIPv6(const std::string& text) {
    in6_addr a{};
    return inet_pton(AF_INET6, text.c_str(), &a) == 1;
}

// Decimal 0…65535, an optional leading "+".
std::optional<std::uint16_t> parsePort(std::string_view text) {
    if (!text.empty() && text[0] == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    unsigned value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value > 0xFFFF)
        return std::nullopt;
    return static_cast<std::uint16_t>(value);
}

struct Endpoint {
    std::string host;
    std::uint16_t port;
};

// An IPv4 literal and a port other than 0, split at the last ":".
std::optional<Endpoint> parseEndpoint(const std::optional<std::string>& value) {
    if (!value) return std::nullopt;
    auto colon = value->rfind(':');
    if (colon == std::string::npos) return std::nullopt;
    std::string host = value->substr(0, colon);
    if (!isIPv4(host)) return std::nullopt;
    auto port = parsePort(std::string_view(*value).substr(colon + 1));
    if (!port || *port == 0) return std::nullopt;
    return Endpoint{host, *port};
}

// User-perceived characters, as the access code counts them.
std::size_t characters(std::string_view utf8) {
    icu::UnicodeString text = icu::UnicodeString::fromUTF8(
        icu::StringPiece(utf8.data(), static_cast<int32_t>(utf8.size())));
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> clusters(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status) || !clusters) return static_cast<std::size_t>(text.countChar32());
    clusters->setText(text);
    std::size_t n = 0;
    for (clusters->first(); clusters->next() != icu::BreakIterator::DONE;) ++n;
    return n;
}

std::string_view trimmed(std::string_view s) {
    auto space = [](char c) {
        return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
    };
    while (!s.empty() && space(s.front())) s.remove_prefix(1);
    while (!s.empty() && space(s.back())) s.remove_suffix(1);
    return s;
}

}  // namespace

std::string_view rawValue(PairingReach reach) {
    switch (reach) {
        case PairingReach::sameNetworkOnly:
            return "sameNetworkOnly";
        case PairingReach::bestEffortInternet:
            return "bestEffortInternet";
        case PairingReach::behindCarrierGradeNAT:
            return "behindCarrierGradeNAT";
    }
    return "sameNetworkOnly";
}

std::string PairingInfo::url() const {
    std::vector<std::pair<std::string, std::string>> items = {
        {"name", name}, {"code", code}, {"port", std::to_string(port)}};
    if (host) items.emplace_back("host", *host);
    if (externalHost && externalPort && *externalPort != 0 && isIPv4(*externalHost))
        items.emplace_back("ext", *externalHost + ":" + std::to_string(*externalPort));
    std::string v6;
    int taken = 0;
    for (const auto& a : ipv6) {
        if (taken == 3 || !isIPv6(a)) continue;
        v6 += (taken++ ? "," : "") + a;
    }
    if (taken) items.emplace_back("v6", v6);
    if (natHost && natPort && *natPort != 0 && isIPv4(*natHost))
        items.emplace_back("nat", *natHost + ":" + std::to_string(*natPort));
    return std::string(Pairing::scheme) + "://" + std::string(Pairing::host) + "?" +
           writeQuery(items);
}

std::optional<PairingInfo> PairingInfo::parse(std::string_view text) {
    auto url = parseURL(trimmed(text));
    if (!url || url->scheme != Pairing::scheme || url->host != Pairing::host || !url->query)
        return std::nullopt;
    auto items = parseQuery(*url->query);
    if (!items) return std::nullopt;
    auto item = [&](std::string_view name) -> std::optional<std::string> {
        for (const auto& [n, v] : *items)
            if (n == name) return v;  // the first occurrence counts, even without a value
        return std::nullopt;
    };

    PairingInfo info;
    auto name = item("name");
    if (!name || name->empty()) return std::nullopt;
    info.name = *name;
    auto code = item("code");
    if (!code) return std::nullopt;
    auto normal = AccessCode::normalize(*code);
    if (characters(normal) != AccessCode::length) return std::nullopt;
    info.code = AccessCode::format(normal);
    auto port = item("port");
    info.port = (port ? parsePort(*port) : std::nullopt).value_or(Pairing::defaultPort);
    if (auto host = item("host"); host && !host->empty()) info.host = *host;
    if (auto ext = parseEndpoint(item("ext"))) {
        info.externalHost = ext->host;
        info.externalPort = ext->port;
    }
    if (auto nat = parseEndpoint(item("nat"))) {
        info.natHost = nat->host;
        info.natPort = nat->port;
    }
    if (auto v6 = item("v6")) {
        std::size_t start = 0;
        while (start <= v6->size() && info.ipv6.size() < 3) {
            auto end = v6->find(',', start);
            if (end == std::string::npos) end = v6->size();
            std::string piece = v6->substr(start, end - start);
            if (!piece.empty() && isIPv6(piece)) info.ipv6.push_back(piece);
            start = end + 1;
        }
    }
    return info;
}

PairingReach PairingInfo::reach() const {
    if (!ipv6.empty()) return PairingReach::bestEffortInternet;
    if (!externalHost || !externalPort || *externalPort == 0) return PairingReach::sameNetworkOnly;
    if (classifyRoute(externalHost) == ConnectionRoute::internet)
        return PairingReach::bestEffortInternet;
    return PairingReach::behindCarrierGradeNAT;
}

std::vector<PairingRoute> PairingInfo::routes() const {
    std::vector<PairingRoute> out;
    auto add = [&](const std::string& h, std::uint16_t p) {
        PairingRoute r{h, p};
        if (std::find(out.begin(), out.end(), r) == out.end()) out.push_back(std::move(r));
    };
    if (host) add(*host, port);
    if (externalHost && externalPort && *externalPort != 0) add(*externalHost, *externalPort);
    for (const auto& a : ipv6) add(a, port);
    return out;
}

}  // namespace orvane
