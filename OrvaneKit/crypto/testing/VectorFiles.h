#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "OrvaneKit/base/Bytes.h"

namespace orvane::testvectors {

// Path of a file under the shared known-answer directory.
std::string path(std::string_view relative);
// Parses a JSON vector file; throws std::runtime_error when it is missing or malformed.
nlohmann::json loadJson(std::string_view relative);
// Lines of a gzip-compressed text file (decompressed with the system's gzip).
std::vector<std::string> gzipLines(std::string_view relative);
// Hex to bytes; throws on malformed hex, so a bad vector file cannot pass silently.
Bytes hex(std::string_view text);

}  // namespace orvane::testvectors
