#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "OrvaneKit/base/Bytes.h"
#include "OrvaneKit/media/VideoCodec.h"
#include "OrvaneKit/media/VideoPacket.h"

namespace orvane {

// Picture size read from a sequence parameter set.
struct VideoSize {
    int width = 0;
    int height = 0;
    bool operator==(const VideoSize&) const = default;
};

// Largest picture a peer's parameter sets may announce; anything larger would make the decoder
// allocate on the peer's say-so.
inline constexpr int kMaxVideoDimension = 8192;

// Size from an H.264 SPS NAL unit (with its header byte) or an HEVC SPS (with its two header
// bytes). None when the unit is cut short, not an SPS, or the size is zero or above the cap.
std::optional<VideoSize> parseH264SpsSize(ByteView nal);
std::optional<VideoSize> parseHevcSpsSize(ByteView nal);

// The stream description a keyframe's parameter sets give.
struct VideoFormat {
    VideoCodec codec = VideoCodec::h264;
    VideoSize size;
    std::vector<Bytes> parameterSets;  // as sent, in order
    bool operator==(const VideoFormat&) const = default;

    // Four-character media subtype: 'avc1' or 'hvc1'.
    uint32_t mediaSubtype() const { return videoCodecType(codec); }
    // The parameter sets as an Annex-B stream (start code before each).
    Bytes annexBParameterSets() const;
};

// One compressed frame ready for a decoder or a movie file.
struct CompressedSample {
    std::shared_ptr<const VideoFormat> format;
    int64_t ptsMicros = 0;
    bool sync = false;
    Bytes annexB;  // the frame's NAL units, each after a 4-byte start code
};

// Rewrites 4-byte length-prefixed NAL units as Annex-B. None when a length is zero or runs past
// the payload, or bytes are left over that cannot hold a length.
std::optional<Bytes> avccToAnnexB(ByteView avcc);

// Turns received packets into samples, keeping the format of the last keyframe whose parameter
// sets were sound. Used from one queue.
class VideoDepacketizer {
public:
    // Times at or above this are not accepted from a peer (they do not fit a signed count).
    static constexpr uint64_t kTimeLimitMicros = uint64_t{1} << 63;

    // None for an empty list, a missing or unreadable SPS, a missing PPS (or VPS for HEVC).
    static std::optional<VideoFormat> makeFormat(const std::vector<Bytes>& parameterSets,
                                                 VideoCodec codec);

    // None when there is no format yet, the payload is empty or cannot be wrapped, or the time
    // is out of range.
    std::optional<CompressedSample> sampleBuffer(const VideoPacket& packet);

    const std::shared_ptr<const VideoFormat>& formatDescription() const { return format_; }
    std::optional<VideoSize> videoSize() const;

private:
    std::shared_ptr<const VideoFormat> format_;
};

}  // namespace orvane
