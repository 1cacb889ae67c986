#include "OrvaneKit/media/VideoCodec.h"

#include <algorithm>
#include <nlohmann/json.hpp>

namespace orvane {

std::string_view videoCodecName(VideoCodec codec) {
    return codec == VideoCodec::hevc ? "hevc" : "h264";
}

std::optional<VideoCodec> videoCodecFromName(std::string_view name) {
    if (name == "h264") return VideoCodec::h264;
    if (name == "hevc") return VideoCodec::hevc;
    return std::nullopt;
}

uint32_t videoCodecType(VideoCodec codec) {
    auto fourcc = [](char a, char b, char c, char d) {
        return static_cast<uint32_t>(static_cast<uint8_t>(a)) << 24 |
               static_cast<uint32_t>(static_cast<uint8_t>(b)) << 16 |
               static_cast<uint32_t>(static_cast<uint8_t>(c)) << 8 | static_cast<uint8_t>(d);
    };
    return codec == VideoCodec::hevc ? fourcc('h', 'v', 'c', '1') : fourcc('a', 'v', 'c', '1');
}

bool useHEVC(bool prefer, const std::vector<bool>& viewersSupportHEVC) {
    return prefer && !viewersSupportHEVC.empty() &&
           std::all_of(viewersSupportHEVC.begin(), viewersSupportHEVC.end(),
                       [](bool b) { return b; });
}

bool hevcHardwareDecode() {
    return false;
}

void to_json(nlohmann::json& j, VideoCodec codec) {
    j = std::string(videoCodecName(codec));
}

void from_json(const nlohmann::json& j, VideoCodec& codec) {
    auto parsed =
        j.is_string() ? videoCodecFromName(j.get_ref<const std::string&>()) : std::nullopt;
    if (!parsed)
        throw nlohmann::json::type_error::create(302, "not a video codec: " + j.dump(), &j);
    codec = *parsed;
}

}  // namespace orvane
