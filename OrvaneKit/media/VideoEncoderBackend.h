#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "OrvaneKit/base/Bytes.h"
#include "OrvaneKit/media/FrameBuffer.h"
#include "OrvaneKit/media/VideoCodec.h"

namespace orvane {

// What a session is opened with. `bitrate` is the effective rate the session targets (already
// raised for HDR); `hdr` asks for 10-bit BT.2020/PQ coding and is only set together with HEVC.
struct EncoderSessionConfig {
    VideoCodec codec = VideoCodec::h264;
    bool hdr = false;
    int width = 0;
    int height = 0;
    PixelFormat inputFormat = PixelFormat::nv12;
    int64_t bitrate = 0;  // bit/s
    int fps = 60;
    bool operator==(const EncoderSessionConfig&) const = default;

    // Why a library encoder cannot open this configuration, or empty when it can.
    std::string problem() const {
        if (width <= 0 || height <= 0 || width % 2 || height % 2)
            return "frame size must be positive and even";
        if (fps <= 0 || bitrate <= 0) return "frame rate and bitrate must be positive";
        return {};
    }
};

// Speed knobs of the library encoders.
struct EncoderTuning {
    std::string preset;  // empty: chosen from the pixel rate
    int threads = 0;     // 0: defaultEncoderThreads()
};

// Worker threads per session: at most 4, so that two pipelines share a small machine.
int defaultEncoderThreads();

// One coded frame as a session returns it.
struct EncodedFrame {
    bool keyframe = false;
    int64_t ptsMicros = 0;
    std::vector<Bytes> parameterSets;  // keyframes only
    Bytes avcc;                        // 4-byte big-endian length-prefixed NAL units
};

// A running low-latency encoder of one size and configuration. Calls come from one thread.
class EncoderSession {
public:
    virtual ~EncoderSession() = default;

    // Codes one frame (its size and format match the config). Coded frames are appended to `out`;
    // a real-time session without reordering returns exactly one. Returns false on an encoder error
    // and fills `error`.
    virtual bool encode(const FrameBuffer& frame, int64_t ptsMicros, bool forceKeyframe,
                        std::vector<EncodedFrame>& out, std::string& error) = 0;

    // Changes the target bitrate in place, without a keyframe. False when this session cannot;
    // the caller then opens a new one at the new rate.
    virtual bool setBitrate(int64_t bitrate) = 0;

    // Hands over anything still held inside the encoder.
    virtual void flush(std::vector<EncodedFrame>& out) = 0;
};

// Opens sessions; the port between the encoder logic and a codec library.
class VideoEncoderBackend {
public:
    virtual ~VideoEncoderBackend() = default;
    // Null on failure, with `error` filled.
    virtual std::unique_ptr<EncoderSession> open(const EncoderSessionConfig& config,
                                                 std::string& error) = 0;
};

}  // namespace orvane
