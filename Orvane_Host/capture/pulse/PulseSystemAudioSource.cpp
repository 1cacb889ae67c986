#include "Orvane_Host/capture/pulse/PulseSystemAudioSource.h"

#include <pulse/pulseaudio.h>

#include <cstring>

namespace orvane {

namespace {

class PulseStream : public SystemAudioStream {
public:
    explicit PulseStream(SystemAudioSource::Handler handler) : handler_(std::move(handler)) {}
    ~PulseStream() override { stop(); }

    void open(const std::optional<std::string>& server) {
        loop_ = pa_threaded_mainloop_new();
        if (!loop_) fail("cannot make the sound main loop", PA_ERR_INTERNAL);
        context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), "Orvane host");
        if (!context_) fail("cannot make the sound context", PA_ERR_INTERNAL);
        pa_context_set_state_callback(context_, &PulseStream::signal, this);
        if (pa_context_connect(context_, server ? server->c_str() : nullptr, PA_CONTEXT_NOAUTOSPAWN,
                               nullptr) < 0)
            failWithContext("cannot reach the sound server");
        if (pa_threaded_mainloop_start(loop_) < 0)
            fail("cannot start the sound thread", PA_ERR_INTERNAL);

        pa_threaded_mainloop_lock(loop_);
        try {
            for (;;) {
                auto state = pa_context_get_state(context_);
                if (state == PA_CONTEXT_READY) break;
                if (!PA_CONTEXT_IS_GOOD(state)) failWithContext("cannot reach the sound server");
                pa_threaded_mainloop_wait(loop_);
            }
            std::string sink = defaultSink();
            if (sink.empty()) fail("the sound server has no default output", PA_ERR_NOENTITY);

            pa_sample_spec sampleFormat{PA_SAMPLE_FLOAT32LE, static_cast<uint32_t>(kRate),
                                        kChannels};
            stream_ = pa_stream_new(context_, "System sound", &sampleFormat, nullptr);
            if (!stream_) failWithContext("cannot make the sound stream");
            pa_stream_set_state_callback(stream_, &PulseStream::signal, this);
            pa_stream_set_read_callback(stream_, &PulseStream::readable, this);
            pa_buffer_attr attr;
            std::memset(&attr, 0xFF, sizeof attr);
            attr.fragsize = static_cast<uint32_t>(
                kRate / 1000 * SystemAudioSource::kChunkMilliseconds * kChannels * sizeof(float));
            std::string monitor = sink + ".monitor";
            if (pa_stream_connect_record(stream_, monitor.c_str(), &attr,
                                         PA_STREAM_ADJUST_LATENCY) < 0)
                failWithContext("cannot record the system sound");
            for (;;) {
                auto state = pa_stream_get_state(stream_);
                if (state == PA_STREAM_READY) break;
                if (!PA_STREAM_IS_GOOD(state)) failWithContext("cannot record the system sound");
                pa_threaded_mainloop_wait(loop_);
            }
        } catch (...) {
            pa_threaded_mainloop_unlock(loop_);
            throw;
        }
        pa_threaded_mainloop_unlock(loop_);
    }

    void stop() override {
        if (!loop_) return;
        pa_threaded_mainloop_lock(loop_);
        if (stream_) {
            pa_stream_set_read_callback(stream_, nullptr, nullptr);
            pa_stream_set_state_callback(stream_, nullptr, nullptr);
            pa_stream_disconnect(stream_);
            pa_stream_unref(stream_);
            stream_ = nullptr;
        }
        if (context_) {
            pa_context_set_state_callback(context_, nullptr, nullptr);
            pa_context_disconnect(context_);
            pa_context_unref(context_);
            context_ = nullptr;
        }
        pa_threaded_mainloop_unlock(loop_);
        pa_threaded_mainloop_stop(loop_);
        pa_threaded_mainloop_free(loop_);
        loop_ = nullptr;
    }

private:
    static constexpr double kRate = SystemAudioSource::kSampleRate;
    static constexpr uint8_t kChannels = SystemAudioSource::kChannels;

    [[noreturn]] void fail(const std::string& what, int code) {
        throw PlatformError("pulse", code, what + ": " + pa_strerror(code));
    }
    [[noreturn]] void failWithContext(const std::string& what) {
        fail(what, context_ ? pa_context_errno(context_) : PA_ERR_INTERNAL);
    }

    std::string defaultSink() {
        struct Query {
            PulseStream* self;
            std::string sink;
        } query{this, {}};
        pa_operation* op = pa_context_get_server_info(
            context_,
            [](pa_context*, const pa_server_info* info, void* user) {
                auto* q = static_cast<Query*>(user);
                if (info && info->default_sink_name) q->sink = info->default_sink_name;
                pa_threaded_mainloop_signal(q->self->loop_, 0);
            },
            &query);
        if (!op) failWithContext("cannot ask the sound server");
        while (pa_operation_get_state(op) == PA_OPERATION_RUNNING) pa_threaded_mainloop_wait(loop_);
        pa_operation_unref(op);
        return query.sink;
    }

    static void signal(pa_context*, void* user) {
        pa_threaded_mainloop_signal(static_cast<PulseStream*>(user)->loop_, 0);
    }
    static void signal(pa_stream*, void* user) {
        pa_threaded_mainloop_signal(static_cast<PulseStream*>(user)->loop_, 0);
    }

    static void readable(pa_stream* s, size_t, void* user) {
        auto* self = static_cast<PulseStream*>(user);
        const void* data = nullptr;
        size_t bytes = 0;
        while (pa_stream_readable_size(s) > 0) {
            if (pa_stream_peek(s, &data, &bytes) < 0 || bytes == 0) return;
            // A hole (no data) is dropped; the encoder only sees sound that was played.
            if (data) self->deliver(static_cast<const float*>(data), bytes);
            pa_stream_drop(s);
        }
    }

    void deliver(const float* samples, size_t bytes) {
        size_t frames = bytes / (sizeof(float) * kChannels);
        if (frames == 0) return;
        PcmBuffer buffer(PcmFormat{kRate, kChannels}, frames);
        for (size_t n = 0; n < frames; ++n)
            for (size_t c = 0; c < kChannels; ++c) buffer.planes[c][n] = samples[n * kChannels + c];
        handler_(std::move(buffer));
    }

    SystemAudioSource::Handler handler_;
    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    pa_stream* stream_ = nullptr;
};

}  // namespace

PulseSystemAudioSource::PulseSystemAudioSource(std::optional<std::string> server)
    : server_(std::move(server)) {}

std::unique_ptr<SystemAudioStream> PulseSystemAudioSource::start(Handler onAudio) {
    auto stream = std::make_unique<PulseStream>(std::move(onAudio));
    stream->open(server_);  // on failure the stream's destructor tears everything down
    return stream;
}

}  // namespace orvane
