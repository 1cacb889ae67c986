#pragma once

#include <optional>

#include "OrvaneKit/base/Bytes.h"

namespace orvane {

// The low-delay AAC (object type 39, no SBR) stream configuration that travels as the
// stream's magic cookie.
struct AudioSpecificConfig {
    static constexpr int kObjectTypeEld = 39;

    int sampleRate = 0;
    int channels = 0;           // 1 or 2
    int framesPerPacket = 480;  // 480 or 512

    bool operator==(const AudioSpecificConfig&) const = default;

    // None when the rate has no standard index or the channel count is not 1 or 2.
    static std::optional<AudioSpecificConfig> make(double sampleRate, int channels,
                                                   int framesPerPacket = 480);

    // The raw configuration bytes, e.g. F8 E6 50 00 for 48 kHz stereo.
    Bytes serialize() const;

    // Accepts only what our decoding path can play: object type 39, a standard rate index,
    // channel configuration 1 or 2, all resilience flags 0, no low-delay SBR, epConfig 0.
    static std::optional<AudioSpecificConfig> parse(ByteView asc);

    // The cookie form the viewers' audio converters report: an MPEG-4 ES_Descriptor whose decoder
    // configuration carries the raw config.
    static Bytes wrapInEsDescriptor(ByteView asc, uint32_t bitRate);

    // The raw config inside a cookie, which may be either an ES_Descriptor or the raw bytes.
    static std::optional<Bytes> fromCookie(ByteView cookie);
};

}  // namespace orvane
