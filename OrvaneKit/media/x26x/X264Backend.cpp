#include "OrvaneKit/media/x26x/X264Backend.h"

#include <x264.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "OrvaneKit/base/Logger.h"
#include "OrvaneKit/media/x26x/X26xSession.h"

namespace orvane {

namespace {

void logFromX264(void*, int level, const char* format, va_list args) {
    if (level > X264_LOG_WARNING) return;
    char text[512];
    std::vsnprintf(text, sizeof text, format, args);
    std::string line(text);
    while (!line.empty() && (line.back() == '\n' || line.back() == ' ')) line.pop_back();
    static const Logger log{"com.nimbrel.kelsap", "video"};
    log.log(level == X264_LOG_ERROR ? LogLevel::error : LogLevel::notice, "x264: {}", line);
}

// Rate control limits in kbit/s; VBV of half a second holds a keyframe without long bursts.
void applyBitrate(x264_param_t& p, int64_t bitrate) {
    const int kbit = x26x::kbps(bitrate);
    p.rc.i_rc_method = X264_RC_ABR;
    p.rc.i_bitrate = kbit;
    p.rc.i_vbv_max_bitrate = kbit;
    p.rc.i_vbv_buffer_size = x26x::vbvBufferKbit(kbit);
}

// Drops the 4-byte length in front of each header NAL.
std::vector<Bytes> parameterSetsOf(x264_nal_t* nals, int count) {
    std::vector<Bytes> sets;
    for (int i = 0; i < count; ++i) {
        if (nals[i].i_type != NAL_SPS && nals[i].i_type != NAL_PPS) continue;
        x26x::addParameterSet(sets, nals[i].p_payload, static_cast<std::size_t>(nals[i].i_payload));
    }
    return sets;
}

class X264Session : public EncoderSession {
public:
    X264Session(x264_t* encoder, PixelFormat input, int width, int height)
        // x264 is built for 8-bit samples here: 10-bit frames are narrowed first.
        : encoder_(encoder),
          input_(input, input == PixelFormat::yuv420p10 ? PixelFormat::i420 : input, width,
                 height) {
        refreshHeaders();
    }
    ~X264Session() override { x264_encoder_close(encoder_); }

    bool encode(const FrameBuffer& frame, int64_t ptsMicros, bool forceKeyframe,
                std::vector<EncodedFrame>& out, std::string& error) override {
        const FrameBuffer* source = &input_.prepare(frame);
        x264_picture_t in;
        x264_picture_init(&in);
        in.img.i_csp = source->format() == PixelFormat::nv12 ? X264_CSP_NV12 : X264_CSP_I420;
        in.img.i_plane = source->planes();
        for (int i = 0; i < source->planes(); ++i) {
            // x264 copies the input into its own frame; it never writes here.
            in.img.plane[i] = const_cast<uint8_t*>(source->data(i));
            in.img.i_stride[i] = source->stride(i);
        }
        in.i_type = forceKeyframe ? X264_TYPE_IDR : X264_TYPE_AUTO;
        in.i_pts = ptsMicros;
        return collect(&in, out, error);
    }

    bool setBitrate(int64_t bitrate) override {
        x264_param_t p;
        x264_encoder_parameters(encoder_, &p);
        applyBitrate(p, bitrate);
        if (x264_encoder_reconfig(encoder_, &p) < 0) return false;
        refreshHeaders();
        return true;
    }

    void flush(std::vector<EncodedFrame>& out) override {
        std::string error;
        while (x264_encoder_delayed_frames(encoder_) > 0) {
            if (!collect(nullptr, out, error)) break;
        }
    }

private:
    bool collect(x264_picture_t* in, std::vector<EncodedFrame>& out, std::string& error) {
        x264_nal_t* nals = nullptr;
        int count = 0;
        x264_picture_t pic;
        const int size = x264_encoder_encode(encoder_, &nals, &count, in, &pic);
        if (size < 0) {
            error = "x264_encoder_encode returned " + std::to_string(size);
            return false;
        }
        if (size == 0 || count == 0) return true;
        out.push_back(x26x::codedFrame(nals[0].p_payload, static_cast<std::size_t>(size),
                                       pic.b_keyframe != 0, pic.i_pts, headers_));
        return true;
    }

    void refreshHeaders() {
        x264_nal_t* nals = nullptr;
        int count = 0;
        if (x264_encoder_headers(encoder_, &nals, &count) >= 0)
            headers_ = parameterSetsOf(nals, count);
    }

    x264_t* encoder_;
    x26x::InputLayout input_;
    std::vector<Bytes> headers_;
};

}  // namespace

const char* X264Backend::presetFor(int width, int height, int fps) {
    const double pixelRate = static_cast<double>(width) * height * std::max(fps, 1);
    // 1080p30 and below: "veryfast"; up to 1080p60: "superfast"; beyond: "ultrafast".
    if (pixelRate <= 1920.0 * 1080 * 30) return "veryfast";
    if (pixelRate <= 1920.0 * 1080 * 60) return "superfast";
    return "ultrafast";
}

std::unique_ptr<EncoderSession> X264Backend::open(const EncoderSessionConfig& config,
                                                  std::string& error) {
    if (error = config.problem(); !error.empty()) return nullptr;
    const std::string preset = tuning_.preset.empty()
                                   ? presetFor(config.width, config.height, config.fps)
                                   : tuning_.preset;
    x264_param_t p;
    if (x264_param_default_preset(&p, preset.c_str(), "zerolatency") < 0) {
        error = "unknown x264 preset " + preset;
        return nullptr;
    }
    p.pf_log = logFromX264;
    p.i_log_level = X264_LOG_WARNING;
    p.i_threads = tuning_.threads > 0 ? tuning_.threads : defaultEncoderThreads();
    p.b_sliced_threads = 1;
    p.i_width = config.width;
    p.i_height = config.height;
    p.i_csp = config.inputFormat == PixelFormat::nv12 ? X264_CSP_NV12 : X264_CSP_I420;
    p.i_bitdepth = 8;
    p.i_fps_num = static_cast<uint32_t>(config.fps);
    p.i_fps_den = 1;
    // Timestamps only pass through; rate control budgets per frame at the expected rate, so an
    // idle screen's sparse frames do not each get seconds' worth of bits.
    p.b_vfr_input = 0;
    p.i_timebase_num = 1;
    p.i_timebase_den = 1'000'000;
    p.i_keyint_max = 10 * config.fps;
    p.i_scenecut_threshold = 0;  // keyframes only when asked
    p.i_bframe = 0;
    p.b_annexb = 0;
    p.b_repeat_headers = 0;
    // Captured frames are BT.709 video range; say so, or decoders guess BT.601 and shift colours.
    p.vui.b_fullrange = 0;
    p.vui.i_colorprim = 1;
    p.vui.i_transfer = 1;
    p.vui.i_colmatrix = 1;
    applyBitrate(p, config.bitrate);
    if (x264_param_apply_profile(&p, "high") < 0) {
        error = "x264 rejected profile high";
        return nullptr;
    }
    x264_t* encoder = x264_encoder_open(&p);
    if (!encoder) {
        error = "x264_encoder_open failed";
        return nullptr;
    }
    return std::make_unique<X264Session>(encoder, config.inputFormat, config.width, config.height);
}

}  // namespace orvane
