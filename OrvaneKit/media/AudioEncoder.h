#pragma once

#include <memory>
#include <vector>

#include "OrvaneKit/base/Bytes.h"
#include "OrvaneKit/media/AudioStreamFormat.h"
#include "OrvaneKit/media/PcmBuffer.h"

namespace orvane {

class AacEldEncoder;

// Turns captured PCM into AAC-ELD packets of 480 frames. Frames that do not fill a packet
// wait inside for the next buffer. Used from one queue only.
class AudioEncoder {
public:
    static constexpr int kFramesPerPacket = 480;
    static constexpr int kPacketsPerBuffer = 16;
    static constexpr int kMaxPacketBytes = 1536;

    // Null when the encoder cannot be made (unsupported rate or channel count); the caller
    // then runs without sound.
    static std::unique_ptr<AudioEncoder> create(double sampleRate, int channels, int bitRate);
    ~AudioEncoder();

    const AudioStreamFormat& streamFormat() const { return streamFormat_; }
    PcmFormat pcmFormat() const { return *streamFormat_.pcmFormat(); }

    // Every complete packet the buffer (plus what waited) makes, in order. A buffer of
    // another format gives no packets and is dropped.
    std::vector<Bytes> encode(const PcmBuffer& pcm);

    // Frames waiting for the next packet.
    size_t pendingFrames() const { return fifoFrames_; }

    AacEldEncoder& core() { return *core_; }

private:
    AudioEncoder() = default;

    AudioStreamFormat streamFormat_;
    std::unique_ptr<AacEldEncoder> core_;
    std::vector<std::vector<float>> fifo_;
    size_t fifoFrames_ = 0;
};

}  // namespace orvane
