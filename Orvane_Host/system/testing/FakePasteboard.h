#pragma once

#include "Orvane_Host/system/Pasteboard.h"

namespace orvane {

class FakePasteboard final : public Pasteboard {
public:
    std::int64_t changeCount() const override { return count; }
    std::optional<std::string> string() const override {
        return hasText ? std::optional(text) : std::nullopt;
    }
    std::int64_t clearAndSetString(const std::string& t) override {
        text = t;
        return ++count;
    }
    // Another program's copy.
    void externalCopy(const std::string& t) {
        text = t;
        ++count;
    }

    std::string text;
    // False: the clipboard holds something other than text.
    bool hasText = true;
    std::int64_t count = 7;
};

}  // namespace orvane
