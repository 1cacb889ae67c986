#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace orvane {

// A 128-bit identifier in its 16 raw bytes. Text form is 8-4-4-4-12 hexadecimal digits; we
// always write upper case and accept either case on input.
struct Uuid {
    std::array<std::uint8_t, 16> bytes{};

    // A random version-4 identifier from the system's cryptographic generator.
    static Uuid random();
    // The 36-character hyphenated form only; nothing else (no braces, no missing hyphens).
    static std::optional<Uuid> parse(std::string_view text);
    static Uuid fromBytes(const std::uint8_t* sixteen);

    std::string string() const;  // upper case, 36 characters
    bool isNil() const;

    friend bool operator==(const Uuid&, const Uuid&) = default;
    friend auto operator<=>(const Uuid&, const Uuid&) = default;
};

}  // namespace orvane

template <>
struct std::hash<orvane::Uuid> {
    std::size_t operator()(const orvane::Uuid& u) const noexcept {
        std::size_t h = 1469598103934665603ull;
        for (auto b : u.bytes) h = (h ^ b) * 1099511628211ull;
        return h;
    }
};
