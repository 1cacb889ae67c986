#pragma once

#include <cstddef>
#include <vector>

#include "OrvaneKit/base/Bytes.h"
#include "OrvaneKit/media/PcmBuffer.h"

namespace orvane::testing {

// Test signals at 48 kHz, the same on both channels unless said otherwise.
PcmBuffer sineSignal(double hz, double amplitude, double seconds, uint32_t channels = 2);
PcmBuffer chirpSignal(double fromHz, double toHz, double amplitude, double seconds);
// Plucked-string chords (three notes per chord, a new chord every half second).
PcmBuffer pluckedChords(double seconds);
// Pink noise, independent on each channel.
PcmBuffer pinkNoise(double amplitude, double seconds);

struct CodecResult {
    std::vector<Bytes> packets;
    PcmBuffer decoded;  // aligned with the input (codec delay removed), same length
    double snrDb = 0;
    double segmentalSnrDb = 0;  // mean over 10 ms segments, each clamped to [-10, 90] dB
    double kbitPerSecond = 0;
};

// Encodes the signal with our encoder (optionally at a fixed scalefactor), decodes the
// packets with AudioDecoder and compares. The first and last 20 ms are left out of the
// figures.
CodecResult encodeAndMeasure(const PcmBuffer& input, int fixedScalefactor = -1);

// Matroska file holding one A_AAC track with the given config as CodecPrivate.
Bytes matroskaAudio(ByteView audioSpecificConfig, int sampleRate, int channels,
                    const std::vector<Bytes>& packets);

}  // namespace orvane::testing
