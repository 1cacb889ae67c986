#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace orvane {

// Picture quality of the streams. The frame rate is not part of it.
enum class StreamQuality { smooth, balanced, sharp };

inline constexpr std::array<StreamQuality, 3> allStreamQualities = {
    StreamQuality::smooth, StreamQuality::balanced, StreamQuality::sharp};

std::string_view rawValue(StreamQuality q);  // "smooth", "balanced", "sharp": the stored form
std::string_view title(StreamQuality q);     // "Smooth", "Balanced", "Retina"
std::int64_t bitrate(StreamQuality q);       // bit/s
int maxCaptureWidth(StreamQuality q);        // pixels
// Anything but "smooth" or "sharp" (an absent or unknown text included) is balanced.
StreamQuality streamQualityFromStored(std::string_view text);

}  // namespace orvane
