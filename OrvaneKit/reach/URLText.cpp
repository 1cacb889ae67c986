#include "OrvaneKit/reach/URLText.h"

#include <cctype>

namespace orvane {

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool keptAsIs(unsigned char c) {
    return std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~' || c == ':' || c == ',';
}

}  // namespace

std::string urlEncode(std::string_view value) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(value.size());
    for (unsigned char c : value) {
        if (c < 0x80 && keptAsIs(c)) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 0xF];
        }
    }
    return out;
}

std::optional<std::string> urlDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size()) return std::nullopt;
        int hi = hexValue(text[i + 1]), lo = hexValue(text[i + 2]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    return out;
}

std::optional<URLParts> parseURL(std::string_view text) {
    auto colon = text.find(':');
    if (colon == std::string_view::npos || colon == 0) return std::nullopt;
    URLParts parts;
    parts.scheme = std::string(text.substr(0, colon));
    if (!std::isalpha(static_cast<unsigned char>(parts.scheme[0]))) return std::nullopt;
    for (unsigned char c : parts.scheme)
        if (!std::isalnum(c) && c != '+' && c != '-' && c != '.') return std::nullopt;
    std::string_view rest = text.substr(colon + 1);
    if (auto hash = rest.find('#'); hash != std::string_view::npos) rest = rest.substr(0, hash);
    if (auto q = rest.find('?'); q != std::string_view::npos) {
        parts.query = std::string(rest.substr(q + 1));
        rest = rest.substr(0, q);
    }
    if (rest.substr(0, 2) == "//") {
        std::string_view authority = rest.substr(2, rest.find('/', 2) - 2);
        if (auto at = authority.rfind('@'); at != std::string_view::npos)
            authority = authority.substr(at + 1);
        // A bracketed IPv6 host keeps its colons; otherwise a port follows the last one.
        if (!authority.empty() && authority[0] == '[') {
            auto close = authority.find(']');
            if (close == std::string_view::npos) return std::nullopt;
            authority = authority.substr(0, close + 1);
        } else if (auto c = authority.rfind(':'); c != std::string_view::npos) {
            authority = authority.substr(0, c);
        }
        auto host = urlDecode(authority);
        if (!host) return std::nullopt;
        if (!host->empty()) parts.host = std::move(*host);
    }
    return parts;
}

std::optional<QueryItems> parseQuery(std::string_view query) {
    QueryItems items;
    std::size_t start = 0;
    while (start <= query.size()) {
        auto end = query.find('&', start);
        if (end == std::string_view::npos) end = query.size();
        std::string_view item = query.substr(start, end - start);
        if (!item.empty()) {
            auto eq = item.find('=');
            auto name = urlDecode(item.substr(0, eq));
            if (!name) return std::nullopt;
            std::optional<std::string> value;
            if (eq != std::string_view::npos) {
                value = urlDecode(item.substr(eq + 1));
                if (!value) return std::nullopt;
            }
            items.emplace_back(std::move(*name), std::move(value));
        }
        start = end + 1;
    }
    return items;
}

std::string writeQuery(const std::vector<std::pair<std::string, std::string>>& items) {
    std::string out;
    for (const auto& [name, value] : items) {
        if (!out.empty()) out += '&';
        out += urlEncode(name) + "=" + urlEncode(value);
    }
    return out;
}

}  // namespace orvane
