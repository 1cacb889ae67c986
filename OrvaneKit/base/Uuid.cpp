#include "OrvaneKit/base/Uuid.h"

#include <openssl/rand.h>

#include <algorithm>
#include <stdexcept>

namespace orvane {

namespace {
int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
constexpr bool isHyphenAt(std::size_t i) {
    return i == 8 || i == 13 || i == 18 || i == 23;
}
}  // namespace

Uuid Uuid::random() {
    Uuid u;
    if (RAND_bytes(u.bytes.data(), static_cast<int>(u.bytes.size())) != 1)
        throw std::runtime_error("random generator unavailable");
    u.bytes[6] = static_cast<std::uint8_t>((u.bytes[6] & 0x0F) | 0x40);
    u.bytes[8] = static_cast<std::uint8_t>((u.bytes[8] & 0x3F) | 0x80);
    return u;
}

std::optional<Uuid> Uuid::parse(std::string_view text) {
    if (text.size() != 36) return std::nullopt;
    Uuid u;
    std::size_t out = 0;
    for (std::size_t i = 0; i < 36;) {
        if (isHyphenAt(i)) {
            if (text[i] != '-') return std::nullopt;
            ++i;
            continue;
        }
        int hi = hexValue(text[i]);
        int lo = hexValue(text[i + 1]);
        if (hi < 0 || lo < 0 || isHyphenAt(i + 1)) return std::nullopt;
        u.bytes[out++] = static_cast<std::uint8_t>(hi << 4 | lo);
        i += 2;
    }
    return u;
}

Uuid Uuid::fromBytes(const std::uint8_t* sixteen) {
    Uuid u;
    std::copy(sixteen, sixteen + 16, u.bytes.begin());
    return u;
}

std::string Uuid::string() const {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string s;
    s.reserve(36);
    for (std::size_t i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) s.push_back('-');
        s.push_back(digits[bytes[i] >> 4]);
        s.push_back(digits[bytes[i] & 0x0F]);
    }
    return s;
}

bool Uuid::isNil() const {
    return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; });
}

}  // namespace orvane
