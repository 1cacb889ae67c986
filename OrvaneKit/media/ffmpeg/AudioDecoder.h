#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "OrvaneKit/base/Bytes.h"
#include "OrvaneKit/media/AudioStreamFormat.h"
#include "OrvaneKit/media/PcmBuffer.h"

struct AVCodecContext;
struct AVPacket;
struct AVFrame;

namespace orvane {

// Turns AAC-ELD packets back into planar float PCM. Used from one queue only.
class AudioDecoder {
public:
    // Largest packet length in frames a peer may announce; it sizes the output buffers.
    static constexpr int kMaxFramesPerPacket = 4096;

    // Null when the format is unusable: channels not 1-2, framesPerPacket negative or above
    // the cap, or a cookie that is not a playable low-delay AAC configuration for this format.
    // Without a cookie the configuration follows from the format's own fields.
    static std::unique_ptr<AudioDecoder> create(const AudioStreamFormat& format);
    ~AudioDecoder();

    AudioDecoder(const AudioDecoder&) = delete;
    AudioDecoder& operator=(const AudioDecoder&) = delete;

    // One packet in, its PCM out; none for an empty or undecodable packet, which leaves the
    // decoder ready for the next one.
    std::optional<PcmBuffer> decode(ByteView packet);

    const PcmFormat& outputFormat() const { return outputFormat_; }
    uint32_t framesPerPacket() const { return framesPerPacket_; }
    size_t capacity() const { return 2 * size_t{framesPerPacket_}; }

private:
    AudioDecoder() = default;

    PcmFormat outputFormat_;
    uint32_t framesPerPacket_ = 0;
    AVCodecContext* context_ = nullptr;
    AVPacket* packet_ = nullptr;
    AVFrame* frame_ = nullptr;
};

}  // namespace orvane
