#include "OrvaneKit/media/AudioEncoder.h"

#include <cmath>

#include "OrvaneKit/media/AacEldEncoder.h"
#include "OrvaneKit/media/AudioSpecificConfig.h"

namespace orvane {

std::unique_ptr<AudioEncoder> AudioEncoder::create(double sampleRate, int channels, int bitRate) {
    if (channels < 1 || sampleRate != std::floor(sampleRate)) return nullptr;
    auto config = AudioSpecificConfig::make(sampleRate, channels, kFramesPerPacket);
    if (!config) return nullptr;
    auto core = AacEldEncoder::create(static_cast<int>(sampleRate), channels, bitRate);
    if (!core) return nullptr;
    std::unique_ptr<AudioEncoder> e(new AudioEncoder);
    e->core_ = std::move(core);
    e->streamFormat_ = AudioStreamFormat{sampleRate, channels, kFramesPerPacket,
                                         AudioSpecificConfig::wrapInEsDescriptor(
                                             config->serialize(), static_cast<uint32_t>(bitRate))};
    e->fifo_.assign(static_cast<size_t>(channels), {});
    return e;
}

AudioEncoder::~AudioEncoder() = default;

std::vector<Bytes> AudioEncoder::encode(const PcmBuffer& pcm) {
    std::vector<Bytes> packets;
    if (pcm.format != pcmFormat() || pcm.planes.size() != fifo_.size()) return packets;
    size_t frames = pcm.frameCount();
    for (const auto& plane : pcm.planes)
        if (plane.size() != frames) return packets;
    for (size_t c = 0; c < fifo_.size(); ++c)
        fifo_[c].insert(fifo_[c].end(), pcm.planes[c].begin(), pcm.planes[c].end());
    fifoFrames_ += frames;

    size_t offset = 0;
    const float* planes[2] = {};
    while (fifoFrames_ - offset >= kFramesPerPacket) {
        for (size_t c = 0; c < fifo_.size(); ++c) planes[c] = fifo_[c].data() + offset;
        packets.push_back(core_->encodeFrame(planes));
        offset += kFramesPerPacket;
    }
    if (offset > 0) {
        for (auto& plane : fifo_)
            plane.erase(plane.begin(), plane.begin() + static_cast<std::ptrdiff_t>(offset));
        fifoFrames_ -= offset;
    }
    return packets;
}

}  // namespace orvane
