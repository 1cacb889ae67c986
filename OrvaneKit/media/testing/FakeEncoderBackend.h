#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "OrvaneKit/media/VideoEncoderBackend.h"

namespace orvane {

// Records what the encoder asks of its sessions and answers with small, predictable frames:
// parameter sets "P0", "P1" ("P2" for HEVC) on keyframes and one NAL holding the frame's index
// within its session.
class FakeEncoderBackend : public VideoEncoderBackend {
public:
    struct FrameCall {
        int session;  // index into opened
        int width, height;
        int64_t ptsMicros;
        bool forced;
    };

    std::unique_ptr<EncoderSession> open(const EncoderSessionConfig& config,
                                         std::string& error) override;

    // Test controls.
    int failOpens = 0;           // the next n opens fail
    int failEncodes = 0;         // the next n encodes fail
    bool refuseBitrate = false;  // setBitrate answers false
    bool keyframeOnlyWhenForced = true;

    // Observations.
    std::vector<EncoderSessionConfig> opened;
    std::vector<FrameCall> frames;
    std::vector<std::pair<int, int64_t>> bitrateChanges;  // (session, bitrate)
    int openSessions = 0;
    int flushes = 0;
};

}  // namespace orvane
