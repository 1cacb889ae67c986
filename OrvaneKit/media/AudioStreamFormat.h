#pragma once

#include <optional>

#include "OrvaneKit/base/Bytes.h"
#include "OrvaneKit/media/PcmBuffer.h"
#include "OrvaneKit/protocol/Json.h"

namespace orvane {

// Description of a sound stream; its JSON is the body of the audio-format message, with keys
// "sampleRate", "channels", "framesPerPacket" and "magicCookie" (base64, left out when there
// is no cookie).
struct AudioStreamFormat {
    double sampleRate = 0;
    int channels = 0;
    int framesPerPacket = 0;
    std::optional<Bytes> magicCookie;

    bool operator==(const AudioStreamFormat&) const = default;

    // None when the channel count is not a usable unsigned 32-bit count.
    std::optional<PcmFormat> pcmFormat() const;
};

void toJson(json::Value& out, const AudioStreamFormat& v);
void fromJson(const json::Value& in, AudioStreamFormat& v);

}  // namespace orvane
