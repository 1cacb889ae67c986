#pragma once

#include <optional>
#include <vector>

#include "OrvaneKit/base/Bytes.h"
#include "OrvaneKit/media/VideoCodec.h"

namespace orvane {

// One encoded frame as it travels to viewers and browsers.
//
// Wire form (big-endian): flags (bit 0 keyframe, bit 1 HEVC), timestampMicros as u64, then on
// keyframes only a count byte and that many (u16 length, bytes) parameter sets, then the
// length-prefixed NAL units up to the end of the body.
struct VideoPacket {
    static constexpr size_t maxParameterSets = 255;
    static constexpr size_t maxParameterSetBytes = 65535;

    bool isKeyframe = false;
    VideoCodec codec = VideoCodec::h264;
    uint64_t timestampMicros = 0;
    // H.264: SPS, PPS; HEVC: VPS, SPS, PPS. Written on keyframes only.
    std::vector<Bytes> parameterSets;
    // NAL units, each preceded by its 4-byte big-endian length; not validated here.
    Bytes avcc;

    bool operator==(const VideoPacket&) const = default;

    // No value when a keyframe's parameter sets exceed what the count and length fields can hold:
    // writing them would silently corrupt the stream.
    std::optional<Bytes> serialize() const;

    // No value when the body is malformed.
    static std::optional<VideoPacket> parse(ByteView body);
};

}  // namespace orvane
