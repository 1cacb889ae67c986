#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace orvane {

// A small URL reader and query writer: just what links of our own need, with no resolution
// against a base and no normalisation beyond percent-decoding.
struct URLParts {
    std::string scheme;                // as written, case kept
    std::optional<std::string> host;   // none without "//"; decoded
    std::optional<std::string> query;  // none without "?"; still encoded
};

// Every byte except letters, digits, "-", ".", "_", "~", ":" and "," as %XX (upper-case hex):
// "&", "=", "+", "#", "%", space and all non-ASCII are always encoded.
std::string urlEncode(std::string_view value);
// %XX only ("+" stays "+"); none for a "%" not followed by two hex digits.
std::optional<std::string> urlDecode(std::string_view text);

// None when the text has no scheme, a malformed one, or a bad percent escape in the host.
std::optional<URLParts> parseURL(std::string_view text);

// name=value pairs split at "&" and the first "=", decoded; an item without "=" has no value.
// None when an escape is malformed.
using QueryItems = std::vector<std::pair<std::string, std::optional<std::string>>>;
std::optional<QueryItems> parseQuery(std::string_view query);
std::string writeQuery(const std::vector<std::pair<std::string, std::string>>& items);

}  // namespace orvane
