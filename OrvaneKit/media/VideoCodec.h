#pragma once

#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string_view>
#include <vector>

namespace orvane {

enum class VideoCodec : uint8_t { h264, hevc };

// "h264" / "hevc".
std::string_view videoCodecName(VideoCodec codec);
// No value for any other text.
std::optional<VideoCodec> videoCodecFromName(std::string_view name);

// Four-character codec type: 'avc1' / 'hvc1'.
uint32_t videoCodecType(VideoCodec codec);

// HEVC only when preferred and every receiving viewer decodes it; no viewers means H.264.
bool useHEVC(bool prefer, const std::vector<bool>& viewersSupportHEVC);

// Whether this machine decodes HEVC in hardware. Always false on Linux: decoding goes through
// libavcodec in software (no hardware decode path is wired up).
bool hevcHardwareDecode();

// JSON: the name as a single string; an unknown name throws nlohmann::json::type_error.
void to_json(nlohmann::json& j, VideoCodec codec);
void from_json(const nlohmann::json& j, VideoCodec& codec);

}  // namespace orvane
