#include "OrvaneKit/media/ffmpeg/SessionRecorder.h"

#include <system_error>

extern "C" {
#include <libavformat/avformat.h>
}

namespace orvane {
namespace {

std::string avError(int rc) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(rc, text, sizeof text);
    return text;
}

}  // namespace

RecorderError RecorderError::cannotAddTrack(uint32_t subtype) {
    return RecorderError("the movie writer can't take this video format (" +
                         std::to_string(subtype) + ")");
}

SessionRecorder::SessionRecorder(std::filesystem::path url) : url_(std::move(url)) {
    std::error_code ignored;
    if (url_.has_parent_path()) std::filesystem::create_directories(url_.parent_path(), ignored);
    int rc = avformat_alloc_output_context2(&writer_, nullptr, "mov", url_.c_str());
    if (rc < 0 || !writer_) throw RecorderError("cannot make the movie writer: " + avError(rc));
    rc = avio_open(&writer_->pb, url_.c_str(), AVIO_FLAG_WRITE);
    if (rc < 0) {
        avformat_free_context(writer_);
        writer_ = nullptr;
        throw RecorderError("cannot write " + url_.string() + ": " + avError(rc));
    }
    packet_ = av_packet_alloc();
}

SessionRecorder::~SessionRecorder() {
    finish();
    av_packet_free(&packet_);
}

void SessionRecorder::discard() {
    if (!writer_) return;
    avio_closep(&writer_->pb);
    avformat_free_context(writer_);
    writer_ = nullptr;
    stream_ = nullptr;
}

bool SessionRecorder::startTrack(const CompressedSample& sample) {
    const VideoFormat& format = *sample.format;
    stream_ = avformat_new_stream(writer_, nullptr);
    if (!stream_) {
        lastError_ = RecorderError::cannotAddTrack(format.mediaSubtype()).what();
        return false;
    }
    AVCodecParameters* par = stream_->codecpar;
    par->codec_type = AVMEDIA_TYPE_VIDEO;
    par->codec_id = format.codec == VideoCodec::hevc ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264;
    par->codec_tag =
        __builtin_bswap32(format.mediaSubtype());  // the muxer reads tags little-endian
    par->width = format.size.width;
    par->height = format.size.height;
    // Annex-B parameter sets: the muxer turns them and the samples into its own form.
    Bytes extra = format.annexBParameterSets();
    par->extradata = static_cast<uint8_t*>(av_mallocz(extra.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!par->extradata) {
        lastError_ = "out of memory";
        return false;
    }
    std::copy(extra.begin(), extra.end(), par->extradata);
    par->extradata_size = static_cast<int>(extra.size());
    // The movie's usual clock; microseconds would overflow its 32-bit durations in minutes.
    stream_->time_base = AVRational{1, 90'000};
    int rc = avformat_write_header(writer_, nullptr);
    if (rc < 0) {
        lastError_ = RecorderError::cannotAddTrack(format.mediaSubtype()).what();
        // A refused header leaves the context unusable; start over with a fresh one.
        avio_closep(&writer_->pb);
        avformat_free_context(writer_);
        writer_ = nullptr;
        stream_ = nullptr;
        if (avformat_alloc_output_context2(&writer_, nullptr, "mov", url_.c_str()) >= 0 &&
            avio_open(&writer_->pb, url_.c_str(), AVIO_FLAG_WRITE) < 0) {
            avformat_free_context(writer_);
            writer_ = nullptr;
        }
        return false;
    }
    started_ = true;
    format_ = sample.format;
    startMicros_ = sample.ptsMicros;
    lastMicros_ = sample.ptsMicros - 1;
    return true;
}

void SessionRecorder::append(const CompressedSample& sample) {
    std::lock_guard guard(lock_);
    if (!sample.format) return;
    if (!started_) {
        ++samplesSeen_;
        if (!isSyncSample(sample) || finished_ || !writer_) return;
        if (!startTrack(sample)) return;
    }
    if (finished_ || *sample.format != *format_) return;
    write(sample);
}

void SessionRecorder::write(const CompressedSample& sample) {
    // A sample re-coded as a keyframe keeps its frame's time; the file needs rising times.
    int64_t micros = sample.ptsMicros > lastMicros_ ? sample.ptsMicros : lastMicros_ + 1;
    lastMicros_ = micros;
    if (av_new_packet(packet_, static_cast<int>(sample.annexB.size())) < 0) {
        lastError_ = "out of memory";
        return;
    }
    std::copy(sample.annexB.begin(), sample.annexB.end(), packet_->data);
    packet_->stream_index = stream_->index;
    int64_t ticks =
        av_rescale_q(micros - startMicros_, AVRational{1, 1'000'000}, stream_->time_base);
    if (lastTicks_ >= 0 && ticks <= lastTicks_) ticks = lastTicks_ + 1;
    lastTicks_ = ticks;
    packet_->pts = packet_->dts = ticks;
    if (sample.sync) packet_->flags |= AV_PKT_FLAG_KEY;
    int rc = av_write_frame(writer_, packet_);
    av_packet_unref(packet_);
    if (rc < 0) lastError_ = "cannot write the movie: " + avError(rc);
}

std::optional<std::filesystem::path> SessionRecorder::finish() {
    std::lock_guard guard(lock_);
    if (finished_) return std::nullopt;
    finished_ = true;
    if (!started_) {
        discard();
        std::error_code ignored;
        std::filesystem::remove(url_, ignored);
        return std::nullopt;
    }
    int rc = av_write_trailer(writer_);
    int closeRc = avio_closep(&writer_->pb);
    avformat_free_context(writer_);
    writer_ = nullptr;
    if (rc < 0 || closeRc < 0) {
        lastError_ = "cannot finish the movie: " + avError(rc < 0 ? rc : closeRc);
        return std::nullopt;
    }
    return url_;
}

std::optional<std::string> SessionRecorder::lastError() const {
    std::lock_guard guard(lock_);
    return lastError_;
}

int SessionRecorder::samplesSeen() const {
    std::lock_guard guard(lock_);
    return samplesSeen_;
}

}  // namespace orvane
