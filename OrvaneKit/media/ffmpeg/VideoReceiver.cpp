#include "OrvaneKit/media/ffmpeg/VideoReceiver.h"

#include <utility>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libswscale/swscale.h>
}

namespace orvane {

VideoReceiver::VideoReceiver() = default;

VideoReceiver::~VideoReceiver() {
    closeDecoder();
}

void VideoReceiver::closeDecoder() {
    avcodec_free_context(&context_);
    av_packet_free(&packet_);
    av_frame_free(&frame_);
    sws_freeContext(sws_);
    sws_ = nullptr;
    openCodec_.reset();
}

bool VideoReceiver::openDecoder(VideoCodec codec) {
    closeDecoder();
    const AVCodec* decoder =
        avcodec_find_decoder(codec == VideoCodec::hevc ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264);
    if (!decoder) return false;
    context_ = avcodec_alloc_context3(decoder);
    packet_ = av_packet_alloc();
    frame_ = av_frame_alloc();
    if (!context_ || !packet_ || !frame_) return false;
    // Every frame is shown as it arrives: no frame threads, no reorder buffer.
    context_->flags |= AV_CODEC_FLAG_LOW_DELAY;
    context_->thread_type = FF_THREAD_SLICE;
    context_->thread_count = 0;
    if (avcodec_open2(context_, decoder, nullptr) < 0) {
        closeDecoder();
        return false;
    }
    openCodec_ = codec;
    return true;
}

void VideoReceiver::receive(ByteView body) {
    auto packet = VideoPacket::parse(body);
    if (!packet || packet->timestampMicros >= VideoDepacketizer::kTimeLimitMicros) return;
    auto sample = depacketizer_.sampleBuffer(*packet);
    if (!sample) {
        if (onNeedKeyframe) onNeedKeyframe();
        return;
    }
    if (!lastSize_ || *lastSize_ != sample->format->size) {
        lastSize_ = sample->format->size;
        if (onSizeChange) onSizeChange(lastSize_->width, lastSize_->height);
    }
    if (!decode(*sample)) {
        // Keep the last picture; start again at the next sync frame.
        if (context_) avcodec_flush_buffers(context_);
        awaitingSync_ = true;
        if (onNeedKeyframe) onNeedKeyframe();
        return;
    }
    if (onSample) onSample(*sample);
    std::lock_guard guard(lock_);
    ++frames_;
}

bool VideoReceiver::decode(const CompressedSample& sample) {
    if (awaitingSync_ && !sample.sync) return false;
    if (openCodec_ != sample.format->codec && !openDecoder(sample.format->codec)) return false;
    Bytes data;
    if (sample.sync) {
        // Parameter sets travel beside the frame; the decoder wants them in band.
        data = sample.format->annexBParameterSets();
        data.insert(data.end(), sample.annexB.begin(), sample.annexB.end());
    }
    const Bytes& bytes = sample.sync ? data : sample.annexB;
    if (av_new_packet(packet_, static_cast<int>(bytes.size())) < 0) return false;
    std::copy(bytes.begin(), bytes.end(), packet_->data);
    packet_->pts = sample.ptsMicros;
    if (sample.sync) packet_->flags |= AV_PKT_FLAG_KEY;
    int rc = avcodec_send_packet(context_, packet_);
    av_packet_unref(packet_);
    if (rc < 0 && rc != AVERROR(EAGAIN)) return false;
    awaitingSync_ = false;
    deliver();
    return true;
}

void VideoReceiver::deliver() {
    while (avcodec_receive_frame(context_, frame_) == 0) {
        if (onPicture && frame_->width > 0 && frame_->height > 0) {
            sws_ = sws_getCachedContext(sws_, frame_->width, frame_->height,
                                        static_cast<AVPixelFormat>(frame_->format), frame_->width,
                                        frame_->height, AV_PIX_FMT_BGRA, SWS_BILINEAR, nullptr,
                                        nullptr, nullptr);
            if (sws_) {
                DecodedPicture picture{frame_->width, frame_->height, frame_->width * 4, {}};
                picture.pixels.resize(size_t(picture.stride) * size_t(picture.height));
                uint8_t* dst[1] = {picture.pixels.data()};
                int dstStride[1] = {picture.stride};
                sws_scale(sws_, frame_->data, frame_->linesize, 0, frame_->height, dst, dstStride);
                onPicture(picture);
            }
        }
        av_frame_unref(frame_);
    }
}

int VideoReceiver::takeFrameCount() {
    std::lock_guard guard(lock_);
    return std::exchange(frames_, 0);
}

void VideoReceiver::flush() {
    onNeedKeyframe = nullptr;
    onSample = nullptr;
    if (context_) avcodec_flush_buffers(context_);
    awaitingSync_ = true;
    std::lock_guard guard(lock_);
    frames_ = 0;
}

}  // namespace orvane
