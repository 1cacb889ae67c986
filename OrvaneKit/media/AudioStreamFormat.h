#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "OrvaneKit/base/Bytes.h"
#include "OrvaneKit/media/PcmBuffer.h"

namespace orvane {

// Description of a sound stream (the body of the audio-format message, as JSON).
struct AudioStreamFormat {
    double sampleRate = 0;
    int channels = 0;
    int framesPerPacket = 0;
    std::optional<Bytes> magicCookie;

    bool operator==(const AudioStreamFormat&) const = default;

    // None when the channel count is not a usable unsigned 32-bit count.
    std::optional<PcmFormat> pcmFormat() const;

    // Keys "sampleRate", "channels", "framesPerPacket", "magicCookie" (base64; left out when
    // there is no cookie).
    std::string toJson() const;
    // None for malformed JSON, missing or mistyped fields, or a cookie that is not base64.
    static std::optional<AudioStreamFormat> fromJson(std::string_view json);
};

std::string base64Encode(ByteView data);
// Strict: padded standard alphabet only.
std::optional<Bytes> base64Decode(std::string_view text);

}  // namespace orvane
