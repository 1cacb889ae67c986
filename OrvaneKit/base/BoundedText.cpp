#include "OrvaneKit/base/BoundedText.h"

namespace orvane {

namespace {

constexpr std::string_view replacement = "\xEF\xBF\xBD";
constexpr std::string_view ellipsis = "\xE2\x80\xA6";

// Length in bytes of the well-formed UTF-8 character at the start of `s`, or 0.
std::size_t characterLength(std::string_view s) {
    auto b = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    unsigned char c = b(0);
    std::size_t n = c < 0x80             ? 1
                    : (c & 0xE0) == 0xC0 ? 2
                    : (c & 0xF0) == 0xE0 ? 3
                    : (c & 0xF8) == 0xF0 ? 4
                                         : 0;
    if (n == 0 || n > s.size()) return 0;
    char32_t cp = n == 1 ? c : n == 2 ? (c & 0x1F) : n == 3 ? (c & 0x0F) : (c & 0x07);
    for (std::size_t i = 1; i < n; ++i) {
        if ((b(i) & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (b(i) & 0x3F);
    }
    constexpr char32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < least[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return n;
}

}  // namespace

std::string boundedText(std::string_view text, std::size_t maxCharacters) {
    std::string out;
    std::size_t kept = 0;
    std::size_t lastEnd = 0;  // out's size before the last character kept
    while (!text.empty()) {
        if (kept == maxCharacters) {
            // One more character to come: the last one kept gives way to the ellipsis.
            if (maxCharacters == 0) return {};
            out.resize(lastEnd);
            out += ellipsis;
            return out;
        }
        lastEnd = out.size();
        std::size_t n = characterLength(text);
        if (n == 0) {
            out += replacement;
            n = 1;
        } else {
            out.append(text.substr(0, n));
        }
        text.remove_prefix(n);
        ++kept;
    }
    return out;
}

}  // namespace orvane
