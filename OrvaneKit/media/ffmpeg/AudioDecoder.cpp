#include "OrvaneKit/media/ffmpeg/AudioDecoder.h"

#include <algorithm>
#include <cstring>

#include "OrvaneKit/media/AudioSpecificConfig.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/mem.h>
}

namespace orvane {

std::unique_ptr<AudioDecoder> AudioDecoder::create(const AudioStreamFormat& format) {
    if (format.channels < 1 || format.channels > 2) return nullptr;
    if (format.framesPerPacket < 0 || format.framesPerPacket > kMaxFramesPerPacket) return nullptr;
    auto pcm = format.pcmFormat();
    if (!pcm) return nullptr;

    Bytes asc;
    if (format.magicCookie) {
        auto raw = AudioSpecificConfig::fromCookie(*format.magicCookie);
        if (!raw) return nullptr;
        auto config = AudioSpecificConfig::parse(*raw);
        // A cookie that contradicts the format would play at the wrong speed or channel count.
        if (!config || config->channels != format.channels ||
            config->sampleRate != format.sampleRate)
            return nullptr;
        asc = std::move(*raw);
    } else {
        auto config = AudioSpecificConfig::make(format.sampleRate, format.channels,
                                                format.framesPerPacket == 512 ? 512 : 480);
        if (!config) return nullptr;
        asc = config->serialize();
    }

    const AVCodec* codec = avcodec_find_decoder_by_name("aac");
    if (!codec) return nullptr;
    std::unique_ptr<AudioDecoder> d(new AudioDecoder);
    d->outputFormat_ = *pcm;
    d->framesPerPacket_ = static_cast<uint32_t>(std::max(format.framesPerPacket, 480));
    d->context_ = avcodec_alloc_context3(codec);
    d->packet_ = av_packet_alloc();
    d->frame_ = av_frame_alloc();
    if (!d->context_ || !d->packet_ || !d->frame_) return nullptr;
    d->context_->extradata =
        static_cast<uint8_t*>(av_mallocz(asc.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!d->context_->extradata) return nullptr;
    std::memcpy(d->context_->extradata, asc.data(), asc.size());
    d->context_->extradata_size = static_cast<int>(asc.size());
    d->context_->sample_rate = static_cast<int>(format.sampleRate);
    av_channel_layout_default(&d->context_->ch_layout, format.channels);
    d->context_->request_sample_fmt = AV_SAMPLE_FMT_FLTP;
    if (avcodec_open2(d->context_, codec, nullptr) < 0) return nullptr;
    return d;
}

AudioDecoder::~AudioDecoder() {
    av_frame_free(&frame_);
    av_packet_free(&packet_);
    avcodec_free_context(&context_);
}

std::optional<PcmBuffer> AudioDecoder::decode(ByteView packet) {
    // An empty packet would put the codec into draining mode and end the stream.
    if (packet.empty() || packet.size() > (1u << 20)) return std::nullopt;
    if (av_new_packet(packet_, static_cast<int>(packet.size())) < 0) return std::nullopt;
    std::memcpy(packet_->data, packet.data(), packet.size());
    int sent = avcodec_send_packet(context_, packet_);
    av_packet_unref(packet_);
    if (sent < 0) return std::nullopt;

    std::optional<PcmBuffer> result;
    while (avcodec_receive_frame(context_, frame_) == 0) {
        bool usable = !result && frame_->format == AV_SAMPLE_FMT_FLTP &&
                      frame_->ch_layout.nb_channels == static_cast<int>(outputFormat_.channels) &&
                      frame_->nb_samples > 0 &&
                      static_cast<size_t>(frame_->nb_samples) <= capacity();
        if (usable) {
            PcmBuffer out(outputFormat_, static_cast<size_t>(frame_->nb_samples));
            for (uint32_t c = 0; c < outputFormat_.channels; ++c)
                std::memcpy(out.planes[c].data(), frame_->extended_data[c],
                            sizeof(float) * out.planes[c].size());
            result = std::move(out);
        }
        av_frame_unref(frame_);
    }
    return result;
}

}  // namespace orvane
