#include "OrvaneKit/base/Base64.h"

#include <array>

namespace orvane {

namespace {
constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<int8_t, 256> decodeTable = [] {
    std::array<int8_t, 256> t{};
    t.fill(-1);
    for (int i = 0; i < 64; ++i)
        t[static_cast<unsigned char>(alphabet[i])] = static_cast<int8_t>(i);
    return t;
}();
}  // namespace

std::string base64Encode(ByteView data) {
    std::string out;
    out.reserve((data.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= data.size(); i += 3) {
        std::uint32_t v =
            std::uint32_t{data[i]} << 16 | std::uint32_t{data[i + 1]} << 8 | data[i + 2];
        out.push_back(alphabet[v >> 18]);
        out.push_back(alphabet[(v >> 12) & 63]);
        out.push_back(alphabet[(v >> 6) & 63]);
        out.push_back(alphabet[v & 63]);
    }
    std::size_t rest = data.size() - i;
    if (rest == 1) {
        std::uint32_t v = std::uint32_t{data[i]} << 16;
        out.push_back(alphabet[v >> 18]);
        out.push_back(alphabet[(v >> 12) & 63]);
        out.append("==");
    } else if (rest == 2) {
        std::uint32_t v = std::uint32_t{data[i]} << 16 | std::uint32_t{data[i + 1]} << 8;
        out.push_back(alphabet[v >> 18]);
        out.push_back(alphabet[(v >> 12) & 63]);
        out.push_back(alphabet[(v >> 6) & 63]);
        out.push_back('=');
    }
    return out;
}

std::optional<Bytes> base64Decode(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    std::size_t pad = 0;
    if (!text.empty() && text.back() == '=') pad = (text[text.size() - 2] == '=') ? 2 : 1;
    Bytes out;
    out.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        bool last = i + 4 == text.size();
        std::uint32_t v = 0;
        for (std::size_t j = 0; j < 4; ++j) {
            char c = text[i + j];
            int d;
            if (c == '=') {
                if (!last || j < 4 - pad) return std::nullopt;
                d = 0;
            } else {
                d = decodeTable[static_cast<unsigned char>(c)];
                if (d < 0) return std::nullopt;
            }
            v = v << 6 | static_cast<std::uint32_t>(d);
        }
        out.push_back(static_cast<std::uint8_t>(v >> 16));
        if (!last || pad < 2) out.push_back(static_cast<std::uint8_t>(v >> 8));
        if (!last || pad < 1) out.push_back(static_cast<std::uint8_t>(v));
    }
    return out;
}

}  // namespace orvane
