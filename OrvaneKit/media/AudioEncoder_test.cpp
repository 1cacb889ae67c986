#include "OrvaneKit/media/AudioEncoder.h"

#include <gtest/gtest.h>

#include "OrvaneKit/media/AudioDecoder.h"
#include "OrvaneKit/media/AudioSpecificConfig.h"
#include "OrvaneKit/media/testing/AudioTestSignals.h"

namespace orvane {
namespace {

TEST(AudioEncoder, HostStreamFormatCarriesTheConfigCookie) {
    auto encoder = AudioEncoder::create(48000, 2, 128000);
    ASSERT_TRUE(encoder);
    const AudioStreamFormat& f = encoder->streamFormat();
    EXPECT_EQ(f.sampleRate, 48000);
    EXPECT_EQ(f.channels, 2);
    EXPECT_EQ(f.framesPerPacket, 480);
    ASSERT_TRUE(f.magicCookie);
    EXPECT_EQ(f.magicCookie->at(0), 0x03);
    EXPECT_EQ(toHex(*AudioSpecificConfig::fromCookie(*f.magicCookie)), "f8e65000");
}

TEST(AudioEncoder, RefusesWhatItCannotCode) {
    EXPECT_FALSE(AudioEncoder::create(32000, 2, 128000));
    EXPECT_FALSE(AudioEncoder::create(48000, 0, 128000));
    EXPECT_FALSE(AudioEncoder::create(48000, 3, 128000));
    EXPECT_FALSE(AudioEncoder::create(48000.5, 2, 128000));
    EXPECT_FALSE(AudioEncoder::create(48000, 2, 1000));
    EXPECT_TRUE(AudioEncoder::create(44100, 2, 128000));
    EXPECT_TRUE(AudioEncoder::create(48000, 1, 64000));
}

TEST(AudioEncoder, ShortBuffersWaitForTheNextOne) {
    auto encoder = AudioEncoder::create(48000, 2, 128000);
    PcmBuffer tone = testing::sineSignal(1000, 0.5, 0.02);  // 960 frames
    PcmBuffer first(tone.format, 479), second(tone.format, 2);
    for (size_t c = 0; c < 2; ++c) {
        std::copy(tone.planes[c].begin(), tone.planes[c].begin() + 479, first.planes[c].begin());
        std::copy(tone.planes[c].begin() + 479, tone.planes[c].begin() + 481,
                  second.planes[c].begin());
    }
    EXPECT_TRUE(encoder->encode(first).empty());
    EXPECT_EQ(encoder->pendingFrames(), 479u);
    EXPECT_EQ(encoder->encode(second).size(), 1u);
    EXPECT_EQ(encoder->pendingFrames(), 1u);
    // Many packets in one call.
    PcmBuffer longer = testing::sineSignal(1000, 0.5, 0.5);  // 24000 frames
    EXPECT_EQ(encoder->encode(longer).size(), 50u);
    // A buffer of another format is dropped.
    EXPECT_TRUE(encoder->encode(testing::sineSignal(1000, 0.5, 0.1, 1)).empty());
    EXPECT_EQ(encoder->pendingFrames(), 1u);
}

struct QualityCase {
    const char* name;
    PcmBuffer (*make)();
    double minSnr;
    double minSegmentalSnr;
};

class AudioCodecQuality : public ::testing::TestWithParam<QualityCase> {};

TEST_P(AudioCodecQuality, ThroughTheDecoderAt128k) {
    auto r = testing::encodeAndMeasure(GetParam().make());
    std::printf("%s: SNR %.1f dB, segmental %.1f dB, %.1f kbit/s, %zu packets\n", GetParam().name,
                r.snrDb, r.segmentalSnrDb, r.kbitPerSecond, r.packets.size());
    EXPECT_GE(r.snrDb, GetParam().minSnr);
    EXPECT_GE(r.segmentalSnrDb, GetParam().minSegmentalSnr);
    EXPECT_GT(r.kbitPerSecond, 128 * 0.9);
    EXPECT_LT(r.kbitPerSecond, 128 * 1.1);
    for (const Bytes& p : r.packets) ASSERT_LE(p.size(), 1536u);
}

INSTANTIATE_TEST_SUITE_P(
    Signals, AudioCodecQuality,
    ::testing::Values(QualityCase{"sine", [] { return testing::sineSignal(1000, 0.1, 3); }, 60, 60},
                      QualityCase{"chirp", [] { return testing::chirpSignal(50, 20000, 0.3, 3); },
                                  60, 55},
                      QualityCase{"plucked", [] { return testing::pluckedChords(3); }, -100, 25},
                      QualityCase{"pink", [] { return testing::pinkNoise(0.2, 3); }, 5, 5}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AudioCodecQuality, FineQuantisationProvesTheFilterbank) {
    auto r = testing::encodeAndMeasure(testing::chirpSignal(50, 20000, 0.3, 1), 120);
    std::printf("fine: SNR %.1f dB\n", r.snrDb);
    EXPECT_GE(r.snrDb, 70);
}

}  // namespace
}  // namespace orvane
