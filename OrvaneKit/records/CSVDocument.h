#pragma once

#include <filesystem>
#include <string>

#include "OrvaneKit/base/Bytes.h"

namespace orvane {

// A CSV text as the save panel writes it and the open panel reads it.
struct CSVDocument {
    std::string text;

    CSVDocument() = default;
    explicit CSVDocument(std::string t) : text(std::move(t)) {}

    // Never fails: invalid UTF-8 becomes U+FFFD, one for each maximal invalid subsequence, and
    // an empty or unreadable file gives an empty text.
    static CSVDocument fromBytes(ByteView bytes);
    static CSVDocument read(const std::filesystem::path& path);

    // UTF-8, no byte-order mark.
    Bytes fileContents() const;
};

// The input with every ill-formed sequence replaced by U+FFFD.
std::string decodeUtf8Lossy(ByteView bytes);

}  // namespace orvane
