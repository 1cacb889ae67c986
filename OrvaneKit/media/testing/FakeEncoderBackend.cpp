#include "OrvaneKit/media/testing/FakeEncoderBackend.h"

namespace orvane {

namespace {

class FakeSession : public EncoderSession {
public:
    FakeSession(FakeEncoderBackend& owner, int index, EncoderSessionConfig config)
        : owner_(owner), index_(index), config_(config) {
        ++owner_.openSessions;
    }
    ~FakeSession() override { --owner_.openSessions; }

    bool encode(const FrameBuffer& frame, int64_t ptsMicros, bool forceKeyframe,
                std::vector<EncodedFrame>& out, std::string& error) override {
        owner_.frames.push_back({index_, frame.width(), frame.height(), ptsMicros, forceKeyframe});
        if (owner_.failEncodes > 0) {
            --owner_.failEncodes;
            error = "fake encode failure";
            return false;
        }
        EncodedFrame f;
        f.keyframe = forceKeyframe || !owner_.keyframeOnlyWhenForced;
        f.ptsMicros = ptsMicros;
        if (f.keyframe) {
            const int sets = config_.codec == VideoCodec::hevc ? 3 : 2;
            for (int i = 0; i < sets; ++i)
                f.parameterSets.push_back({'P', static_cast<uint8_t>('0' + i)});
        }
        appendBE32(f.avcc, 1);
        f.avcc.push_back(static_cast<uint8_t>(count_++));
        out.push_back(std::move(f));
        return true;
    }

    bool setBitrate(int64_t bitrate) override {
        owner_.bitrateChanges.emplace_back(index_, bitrate);
        return !owner_.refuseBitrate;
    }

    void flush(std::vector<EncodedFrame>&) override { ++owner_.flushes; }

private:
    FakeEncoderBackend& owner_;
    int index_;
    EncoderSessionConfig config_;
    int count_ = 0;
};

}  // namespace

std::unique_ptr<EncoderSession> FakeEncoderBackend::open(const EncoderSessionConfig& config,
                                                         std::string& error) {
    opened.push_back(config);
    if (failOpens > 0) {
        --failOpens;
        error = "fake open failure";
        return nullptr;
    }
    return std::make_unique<FakeSession>(*this, static_cast<int>(opened.size() - 1), config);
}

}  // namespace orvane
