#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace orvane {

// The general clipboard of the local session, as the host shares it. Main actor only. The change
// count grows by one for every change, whoever made it.
class Pasteboard {
public:
    virtual ~Pasteboard() = default;
    virtual std::int64_t changeCount() const = 0;
    // The text as of changeCount(); none when the clipboard holds no text or it cannot be read.
    virtual std::optional<std::string> string() const = 0;
    // Replaces the contents with `text`; returns the change count after the write.
    virtual std::int64_t clearAndSetString(const std::string& text) = 0;
};

}  // namespace orvane
