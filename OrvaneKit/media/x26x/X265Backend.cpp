#include "OrvaneKit/media/x26x/X265Backend.h"

#include <x265.h>

#include <algorithm>
#include <string>

#include "OrvaneKit/media/x26x/X26xSession.h"

namespace orvane {

namespace {

// NAL unit types of the parameter sets.
constexpr int kVps = 32;
constexpr int kSps = 33;
constexpr int kPps = 34;

void applyBitrate(x265_param& p, int64_t bitrate) {
    const int kbit = x26x::kbps(bitrate);
    p.rc.rateControlMode = X265_RC_ABR;
    p.rc.bitrate = kbit;
    p.rc.vbvMaxBitrate = kbit;
    p.rc.vbvBufferSize = x26x::vbvBufferKbit(kbit);
}

struct ParamDeleter {
    const x265_api* api;
    void operator()(x265_param* p) const { api->param_free(p); }
};
using ParamPtr = std::unique_ptr<x265_param, ParamDeleter>;

class X265Session : public EncoderSession {
public:
    X265Session(const x265_api* api, x265_encoder* encoder, ParamPtr param, PixelFormat input,
                int width, int height)
        : api_(api),
          encoder_(encoder),
          param_(std::move(param)),
          picture_(api->picture_alloc()),
          // x265 takes planar input only; it widens or narrows the sample depth itself.
          input_(input, input == PixelFormat::nv12 ? PixelFormat::i420 : input, width, height) {
        x265_nal* nals = nullptr;
        uint32_t count = 0;
        if (api_->encoder_headers(encoder_, &nals, &count) >= 0) {
            for (uint32_t i = 0; i < count; ++i) {
                const int type = static_cast<int>(nals[i].type);
                if (type == kVps || type == kSps || type == kPps)
                    x26x::addParameterSet(headers_, nals[i].payload, nals[i].sizeBytes);
            }
        }
    }

    ~X265Session() override {
        api_->picture_free(picture_);
        api_->encoder_close(encoder_);
    }

    bool encode(const FrameBuffer& frame, int64_t ptsMicros, bool forceKeyframe,
                std::vector<EncodedFrame>& out, std::string& error) override {
        const FrameBuffer* source = &input_.prepare(frame);
        api_->picture_init(param_.get(), picture_);
        picture_->colorSpace = X265_CSP_I420;
        picture_->bitDepth = source->format() == PixelFormat::yuv420p10 ? 10 : 8;
        for (int i = 0; i < 3; ++i) {
            picture_->planes[i] = const_cast<uint8_t*>(source->data(i));  // read only
            picture_->stride[i] = source->stride(i);
        }
        picture_->sliceType = forceKeyframe ? X265_TYPE_IDR : X265_TYPE_AUTO;
        picture_->pts = ptsMicros;
        return collect(picture_, out, error);
    }

    // libx265 3.5 accepts a rate-control change through x265_encoder_reconfig (once the level is
    // pinned) but keeps coding at the old rate: measured, the output does not move in ABR or
    // capped-CRF mode. Only a new session changes the rate, so report that one is needed.
    bool setBitrate(int64_t) override { return false; }

    void flush(std::vector<EncodedFrame>& out) override {
        std::string error;
        for (int i = 0; i < 64; ++i) {
            const size_t before = out.size();
            if (!collect(nullptr, out, error) || out.size() == before) break;
        }
    }

private:
    bool collect(x265_picture* in, std::vector<EncodedFrame>& out, std::string& error) {
        x265_nal* nals = nullptr;
        uint32_t count = 0;
        x265_picture pic;
        api_->picture_init(param_.get(), &pic);
        const int got = api_->encoder_encode(encoder_, &nals, &count, in, &pic);
        if (got < 0) {
            error = "x265_encoder_encode returned " + std::to_string(got);
            return false;
        }
        if (got == 0 || count == 0) return true;
        size_t total = 0;
        for (uint32_t i = 0; i < count; ++i) total += nals[i].sizeBytes;
        out.push_back(x26x::codedFrame(nals[0].payload, total, pic.sliceType == X265_TYPE_IDR,
                                       pic.pts, headers_));
        return true;
    }

    const x265_api* api_;
    x265_encoder* encoder_;
    ParamPtr param_;
    x265_picture* picture_;
    x26x::InputLayout input_;
    std::vector<Bytes> headers_;
};

}  // namespace

const char* X265Backend::presetFor(int width, int height, int fps) {
    const double pixelRate = static_cast<double>(width) * height * std::max(fps, 1);
    if (pixelRate <= 1280.0 * 720 * 30) return "superfast";
    return "ultrafast";
}

std::unique_ptr<EncoderSession> X265Backend::open(const EncoderSessionConfig& config,
                                                  std::string& error) {
    if (error = config.problem(); !error.empty()) return nullptr;
    const int depth = config.hdr ? 10 : 8;
    const x265_api* api = x265_api_get(depth);
    if (!api) {
        error = "libx265 has no " + std::to_string(depth) + "-bit encoder";
        return nullptr;
    }
    ParamPtr p(api->param_alloc(), ParamDeleter{api});
    if (!p) {
        error = "x265_param_alloc failed";
        return nullptr;
    }
    const std::string preset = tuning_.preset.empty()
                                   ? presetFor(config.width, config.height, config.fps)
                                   : tuning_.preset;
    if (api->param_default_preset(p.get(), preset.c_str(), "zerolatency") < 0) {
        error = "unknown x265 preset " + preset;
        return nullptr;
    }
    p->logLevel = X265_LOG_ERROR;
    p->sourceWidth = config.width;
    p->sourceHeight = config.height;
    p->internalCsp = X265_CSP_I420;
    p->fpsNum = static_cast<uint32_t>(config.fps);
    p->fpsDenom = 1;
    p->bRepeatHeaders = 0;
    p->bAnnexB = 0;
    p->bEmitInfoSEI = 0;
    p->bOpenGOP = 0;
    p->keyframeMax = 10 * config.fps;
    p->scenecutThreshold = 0;  // keyframes only when asked
    p->bframes = 0;
    p->frameNumThreads = 1;
    const std::string pools =
        std::to_string(tuning_.threads > 0 ? tuning_.threads : defaultEncoderThreads());
    p->numaPools = pools.c_str();  // copied by encoder_open
    p->lookaheadThreads = 0;
    applyBitrate(*p, config.bitrate);
    // Say which colours the samples mean, or decoders guess BT.601 for SDR frames.
    p->vui.bEnableVideoSignalTypePresentFlag = 1;
    p->vui.bEnableColorDescriptionPresentFlag = 1;
    p->vui.bEnableVideoFullRangeFlag = 0;
    if (config.hdr) {
        p->vui.colorPrimaries = 9;            // BT.2020
        p->vui.transferCharacteristics = 16;  // SMPTE ST 2084 (PQ)
        p->vui.matrixCoeffs = 9;              // BT.2020 non-constant luminance
    } else {
        p->vui.colorPrimaries = 1;  // BT.709
        p->vui.transferCharacteristics = 1;
        p->vui.matrixCoeffs = 1;
    }
    if (api->param_apply_profile(p.get(), config.hdr ? "main10" : "main") < 0) {
        error = "x265 rejected the profile";
        return nullptr;
    }
    x265_encoder* encoder = api->encoder_open(p.get());
    if (!encoder) {
        error = "x265_encoder_open failed";
        return nullptr;
    }
    p->numaPools = nullptr;
    return std::make_unique<X265Session>(api, encoder, std::move(p), config.inputFormat,
                                         config.width, config.height);
}

}  // namespace orvane
