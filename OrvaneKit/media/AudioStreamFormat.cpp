#include "OrvaneKit/media/AudioStreamFormat.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>

namespace orvane {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

std::optional<int> integerField(const nlohmann::json& j, const char* key) {
    auto it = j.find(key);
    if (it == j.end()) return std::nullopt;
    if (it->is_number_integer()) {
        if (it->is_number_unsigned()) {
            auto v = it->get<uint64_t>();
            if (v > static_cast<uint64_t>(std::numeric_limits<int>::max())) return std::nullopt;
            return static_cast<int>(v);
        }
        auto v = it->get<int64_t>();
        if (v < std::numeric_limits<int>::min() || v > std::numeric_limits<int>::max())
            return std::nullopt;
        return static_cast<int>(v);
    }
    if (it->is_number_float()) {
        // A whole number written with a fraction part (48000.0) still counts.
        double d = it->get<double>();
        if (std::floor(d) != d || d < std::numeric_limits<int>::min() ||
            d > std::numeric_limits<int>::max())
            return std::nullopt;
        return static_cast<int>(d);
    }
    return std::nullopt;
}

}  // namespace

std::string base64Encode(ByteView data) {
    std::string out;
    out.reserve((data.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= data.size(); i += 3) {
        uint32_t v = (uint32_t{data[i]} << 16) | (uint32_t{data[i + 1]} << 8) | data[i + 2];
        for (int s = 18; s >= 0; s -= 6) out.push_back(kAlphabet[(v >> s) & 63]);
    }
    size_t rest = data.size() - i;
    if (rest > 0) {
        uint32_t v = uint32_t{data[i]} << 16;
        if (rest == 2) v |= uint32_t{data[i + 1]} << 8;
        out.push_back(kAlphabet[(v >> 18) & 63]);
        out.push_back(kAlphabet[(v >> 12) & 63]);
        out.push_back(rest == 2 ? kAlphabet[(v >> 6) & 63] : '=');
        out.push_back('=');
    }
    return out;
}

std::optional<Bytes> base64Decode(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    Bytes out;
    out.reserve(text.size() / 4 * 3);
    for (size_t i = 0; i < text.size(); i += 4) {
        bool last = i + 4 == text.size();
        int pad = 0;
        if (last && text[i + 3] == '=') pad = text[i + 2] == '=' ? 2 : 1;
        uint32_t v = 0;
        for (int k = 0; k < 4; ++k) {
            int d = 0;
            if (k < 4 - pad) {
                d = base64Value(text[i + k]);
                if (d < 0) return std::nullopt;
            }
            v = (v << 6) | static_cast<uint32_t>(d);
        }
        // Bits below the last byte must be zero, so each byte string has one spelling.
        if ((pad == 1 && (v & 0xFF) != 0) || (pad == 2 && (v & 0xFFFF) != 0)) return std::nullopt;
        out.push_back(static_cast<uint8_t>(v >> 16));
        if (pad < 2) out.push_back(static_cast<uint8_t>(v >> 8));
        if (pad < 1) out.push_back(static_cast<uint8_t>(v));
    }
    return out;
}

std::optional<PcmFormat> AudioStreamFormat::pcmFormat() const {
    if (channels <= 0 || !(sampleRate > 0) || !std::isfinite(sampleRate)) return std::nullopt;
    return PcmFormat{sampleRate, static_cast<uint32_t>(channels)};
}

std::string AudioStreamFormat::toJson() const {
    nlohmann::json j;
    // Whole rates are written as integers ("48000"), as the viewers' decoders write them.
    if (std::isfinite(sampleRate) && std::floor(sampleRate) == sampleRate &&
        std::fabs(sampleRate) < 9.0e15)
        j["sampleRate"] = static_cast<int64_t>(sampleRate);
    else
        j["sampleRate"] = sampleRate;
    j["channels"] = channels;
    j["framesPerPacket"] = framesPerPacket;
    if (magicCookie) j["magicCookie"] = base64Encode(*magicCookie);
    return j.dump();
}

std::optional<AudioStreamFormat> AudioStreamFormat::fromJson(std::string_view json) {
    auto j = nlohmann::json::parse(json, nullptr, false);
    if (j.is_discarded() || !j.is_object()) return std::nullopt;
    AudioStreamFormat f;
    auto rate = j.find("sampleRate");
    if (rate == j.end() || !rate->is_number()) return std::nullopt;
    f.sampleRate = rate->get<double>();
    auto channels = integerField(j, "channels");
    auto frames = integerField(j, "framesPerPacket");
    if (!channels || !frames) return std::nullopt;
    f.channels = *channels;
    f.framesPerPacket = *frames;
    auto cookie = j.find("magicCookie");
    if (cookie != j.end() && !cookie->is_null()) {
        if (!cookie->is_string()) return std::nullopt;
        auto bytes = base64Decode(cookie->get_ref<const std::string&>());
        if (!bytes) return std::nullopt;
        f.magicCookie = std::move(*bytes);
    }
    return f;
}

}  // namespace orvane
