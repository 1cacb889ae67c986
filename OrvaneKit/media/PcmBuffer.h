#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace orvane {

// The PCM side of the sound path: 32-bit float, one plane per channel.
struct PcmFormat {
    double sampleRate = 0;
    uint32_t channels = 0;
    bool operator==(const PcmFormat&) const = default;
};

struct PcmBuffer {
    PcmFormat format;
    std::vector<std::vector<float>> planes;  // format.channels planes of equal length

    PcmBuffer() = default;
    PcmBuffer(PcmFormat f, size_t frames)
        : format(f), planes(f.channels, std::vector<float>(frames, 0.0f)) {}

    size_t frameCount() const { return planes.empty() ? 0 : planes[0].size(); }
};

}  // namespace orvane
