#pragma once

#include <array>
#include <cstdint>

#include "OrvaneKit/media/AacTables.h"
#include "OrvaneKit/media/BitWriter.h"

namespace orvane {

// One channel of a low-delay AAC access unit, ready to be written.
struct EldChannelData {
    int globalGain = 100;
    std::array<uint8_t, aac::kBandCount480> codebook{};  // 0 = band not coded, else 1..11
    std::array<int, aac::kBandCount480> scalefactor{};   // used for coded bands
    std::array<int, 480> spectrum{};                     // quantised lines, |q| <= 8191
};

// An access unit: one single-channel element (mono) or one channel-pair element (stereo).
// ELD has no element id, no common-window bit (the window is always shared), no pulse or
// gain-control data and no end element; TNS is never used here.
struct EldFrameData {
    int channels = 2;
    int maxSfb = 0;
    int msMaskPresent = 0;  // 0 none, 1 per band, 2 all bands
    std::array<bool, aac::kBandCount480> msUsed{};
    std::array<EldChannelData, 2> channel;
};

namespace eld {

inline constexpr int kMaxQuantised = 8191;

// Bits to code `count` lines with a codebook (1..11), or -1 when the book cannot code them.
int spectralBits(const int* q, int count, int codebook);
// Largest magnitude a codebook can code (book 11: kMaxQuantised through escapes).
int codebookLimit(int codebook);
// Bits of a section header run of `length` bands.
int sectionBits(int length);

// Writes the access unit and pads to a byte boundary. The caller keeps scalefactor
// differences within +-60 and values in 0..255.
void writeFrame(BitWriter& out, const EldFrameData& frame);

}  // namespace eld
}  // namespace orvane
