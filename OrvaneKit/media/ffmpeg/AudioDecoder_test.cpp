#include "OrvaneKit/media/ffmpeg/AudioDecoder.h"

#include <gtest/gtest.h>

#include "OrvaneKit/media/AudioEncoder.h"
#include "OrvaneKit/media/AudioSpecificConfig.h"
#include "OrvaneKit/media/testing/AudioTestSignals.h"

namespace orvane {
namespace {

AudioStreamFormat hostFormat() {
    return AudioEncoder::create(48000, 2, 128000)->streamFormat();
}

TEST(AudioDecoder, SilentFramesDecodeToZeros) {
    auto decoder = AudioDecoder::create(hostFormat());
    ASSERT_TRUE(decoder);
    for (int i = 0; i < 3; ++i) {
        auto pcm = decoder->decode(*fromHex("00643200"));
        ASSERT_TRUE(pcm);
        ASSERT_EQ(pcm->frameCount(), 480u);
        ASSERT_EQ(pcm->planes.size(), 2u);
        for (const auto& plane : pcm->planes)
            for (float v : plane) ASSERT_EQ(v, 0.0f);
    }
}

TEST(AudioDecoder, BadPacketsGiveNothingAndDoNotDisturbLaterOnes) {
    auto encoder = AudioEncoder::create(48000, 2, 128000);
    auto packets = encoder->encode(testing::sineSignal(1000, 0.3, 0.2));
    ASSERT_GE(packets.size(), 10u);

    auto reference = AudioDecoder::create(encoder->streamFormat());
    auto decoder = AudioDecoder::create(encoder->streamFormat());
    Bytes garbage(200, 0xFF);
    Bytes cut(packets[5].begin(), packets[5].begin() + 3);
    for (size_t i = 0; i < packets.size(); ++i) {
        auto want = reference->decode(packets[i]);
        ASSERT_TRUE(want);
        if (i == 4) {
            EXPECT_FALSE(decoder->decode({}));
            EXPECT_FALSE(decoder->decode(garbage));
            EXPECT_FALSE(decoder->decode(cut));
        }
        auto got = decoder->decode(packets[i]);
        ASSERT_TRUE(got) << i;
        EXPECT_EQ(got->frameCount(), 480u);
    }
}

TEST(AudioDecoder, FramesPerPacketZeroMeans480) {
    AudioStreamFormat f = hostFormat();
    f.framesPerPacket = 0;
    auto decoder = AudioDecoder::create(f);
    ASSERT_TRUE(decoder);
    EXPECT_EQ(decoder->framesPerPacket(), 480u);
    EXPECT_EQ(decoder->capacity(), 960u);
    // Without a cookie the configuration follows from the format.
    auto plain = AudioDecoder::create(AudioStreamFormat{48000, 2, 480, std::nullopt});
    ASSERT_TRUE(plain);
    EXPECT_TRUE(plain->decode(*fromHex("00643200")));
}

TEST(AudioDecoder, RefusesFormatsAPeerCouldAbuse) {
    AudioStreamFormat base = hostFormat();
    auto with = [&](auto change) {
        AudioStreamFormat f = base;
        change(f);
        return f;
    };
    std::vector<AudioStreamFormat> bad = {
        with([](auto& f) { f.channels = -2; }),
        with([](auto& f) { f.channels = 1; }),  // cookie says stereo
        with([](auto& f) { f.channels = 1 << 30; }),
        with([](auto& f) { f.framesPerPacket = -1; }),
        with([](auto& f) { f.framesPerPacket = 4097; }),
        with([](auto& f) { f.sampleRate = 44100; }),                  // cookie says 48 kHz
        with([](auto& f) { f.magicCookie = *fromHex("1190"); }),      // AAC-LC
        with([](auto& f) { f.magicCookie = *fromHex("f8e65100"); }),  // LD-SBR
        with([](auto& f) { f.magicCookie = *fromHex("f8e65004"); }),  // epConfig 1
        with([](auto& f) {
            f.magicCookie = Bytes{0x03, 0x05};
        }),  // broken descriptor
        with([](auto& f) { f.magicCookie = Bytes{}; }),
        AudioStreamFormat{32000.5, 2, 480, std::nullopt},
    };
    for (size_t i = 0; i < bad.size(); ++i) EXPECT_FALSE(AudioDecoder::create(bad[i])) << i;
    EXPECT_TRUE(AudioDecoder::create(with([](auto& f) { f.framesPerPacket = 4096; })));
    EXPECT_TRUE(AudioDecoder::create(with([](auto& f) { f.magicCookie = *fromHex("f8e65000"); })));
}

}  // namespace
}  // namespace orvane
