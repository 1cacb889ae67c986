#include "OrvaneKit/records/CSVDocument.h"

#include <fstream>
#include <iterator>

namespace orvane {

std::string decodeUtf8Lossy(ByteView in) {
    static constexpr std::string_view replacement = "\xEF\xBF\xBD";
    std::string out;
    out.reserve(in.size());
    std::size_t i = 0;
    const std::size_t n = in.size();
    while (i < n) {
        std::uint8_t b = in[i];
        if (b < 0x80) {
            out.push_back(static_cast<char>(b));
            ++i;
            continue;
        }
        int need = 0;
        std::uint8_t lo = 0x80, hi = 0xBF;
        if (b >= 0xC2 && b <= 0xDF) {
            need = 1;
        } else if (b >= 0xE0 && b <= 0xEF) {
            need = 2;
            if (b == 0xE0) lo = 0xA0;
            if (b == 0xED) hi = 0x9F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            need = 3;
            if (b == 0xF0) lo = 0x90;
            if (b == 0xF4) hi = 0x8F;
        } else {
            out += replacement;
            ++i;
            continue;
        }
        // Take continuation bytes while they fit; a break ends the maximal subpart, which
        // becomes one replacement, and the breaking byte is looked at afresh.
        std::size_t j = i + 1;
        int got = 0;
        while (got < need && j < n) {
            std::uint8_t c = in[j];
            std::uint8_t l = got == 0 ? lo : 0x80, h = got == 0 ? hi : 0xBF;
            if (c < l || c > h) break;
            ++j;
            ++got;
        }
        if (got == need)
            out.append(reinterpret_cast<const char*>(in.data() + i), j - i);
        else
            out += replacement;
        i = j;
    }
    return out;
}

CSVDocument CSVDocument::fromBytes(ByteView bytes) {
    return CSVDocument(decodeUtf8Lossy(bytes));
}

CSVDocument CSVDocument::read(const std::filesystem::path& path) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return {};
    std::string raw((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    return fromBytes(asBytes(raw));
}

Bytes CSVDocument::fileContents() const {
    return toBytes(text);
}

}  // namespace orvane
