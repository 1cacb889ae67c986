#pragma once

#include <array>
#include <memory>
#include <optional>
#include <vector>

#include "OrvaneKit/base/Bytes.h"
#include "OrvaneKit/media/EldBitstream.h"
#include "OrvaneKit/media/EldFilterbank.h"

namespace orvane {

// Low-delay AAC (object type 39, 480 lines, no SBR) frame encoder: analysis filterbank,
// per-band M/S, quantisation with a global-gain search to the frame's bit budget, a small bit
// reservoir, per-band choice among the eleven spectral codebooks and section merging.
// One 480-frame block in, one access unit out; the decoded sound lags the input by
// EldFilterbank::kLookahead samples.
class AacEldEncoder {
public:
    static constexpr int kFrameLength = EldFilterbank::kFrame;
    static constexpr int kMaxPacketBytes = 1536;

    // Null unless the rate is 48 kHz or 44.1 kHz and there are 1 or 2 channels.
    static std::unique_ptr<AacEldEncoder> create(int sampleRate, int channels, int bitRate);

    // `planes[c]` points at kFrameLength samples of channel c.
    Bytes encodeFrame(const float* const* planes);

    // Tests: code every frame at this scalefactor instead of fitting the bit budget.
    void setFixedScalefactor(std::optional<int> sf) { fixedScalefactor_ = sf; }

    int channels() const { return channels_; }

private:
    AacEldEncoder(int sampleRate, int channels, int bitRate);

    struct Choice;
    int countBits(int gain, Choice& choice) const;
    void quantise(int gain, Choice& choice) const;
    void mergeSections(EldChannelData& ch, int maxSfb) const;

    int channels_;
    int bitsPerFrame_;
    int reservoir_ = 0;
    int lastGain_ = 140;
    int reservoirCap_;
    std::optional<int> fixedScalefactor_;
    EldFilterbank filterbank_;
    std::vector<std::vector<float>> history_;                       // kSpan samples per channel
    std::array<std::array<float, kFrameLength>, 2> spectrum_{};     // after M/S
    std::array<std::array<float, kFrameLength>, 2> magnitude34_{};  // |X|^(3/4)
    std::array<std::array<int, aac::kBandCount480>, 2> bandFloor_{};
    std::array<bool, aac::kBandCount480> msUsed_{};
    int msMaskPresent_ = 0;
    std::unique_ptr<EldFrameData> frame_;
};

}  // namespace orvane
