#include "OrvaneKit/media/AudioStreamFormat.h"

#include <cmath>

namespace orvane {

std::optional<PcmFormat> AudioStreamFormat::pcmFormat() const {
    if (channels <= 0 || !(sampleRate > 0) || !std::isfinite(sampleRate)) return std::nullopt;
    return PcmFormat{sampleRate, static_cast<uint32_t>(channels)};
}

void toJson(json::Value& out, const AudioStreamFormat& v) {
    json::putField(out, "sampleRate", v.sampleRate);
    json::putField(out, "channels", v.channels);
    json::putField(out, "framesPerPacket", v.framesPerPacket);
    json::putOptional(out, "magicCookie", v.magicCookie);
}

void fromJson(const json::Value& in, AudioStreamFormat& v) {
    json::requireObject(in);
    v.sampleRate = json::requireField<double>(in, "sampleRate");
    v.channels = json::requireField<int>(in, "channels");
    v.framesPerPacket = json::requireField<int>(in, "framesPerPacket");
    v.magicCookie = json::optionalField<Bytes>(in, "magicCookie");
}

}  // namespace orvane
