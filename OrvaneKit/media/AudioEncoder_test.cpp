#include "OrvaneKit/media/AudioEncoder.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

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

namespace orvane {
namespace {

std::string runCommand(const std::string& command) {
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (!p) return out;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
    return out;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Every packet, in a Matroska file, is read by FFmpeg's own tools without a word.
TEST(InteropAudioEncoder, FfprobeAndFfmpegReadOurStream) {
    if (std::system("command -v ffprobe >/dev/null && command -v ffmpeg >/dev/null") != 0)
        GTEST_SKIP() << "ffprobe/ffmpeg not installed";
    PcmBuffer input = testing::chirpSignal(50, 20000, 0.3, 2);
    for (size_t n = 0; n < input.frameCount(); ++n) input.planes[1][n] *= -0.5f;
    auto r = testing::encodeAndMeasure(input);
    auto encoder = AudioEncoder::create(48000, 2, 128000);
    Bytes asc = *AudioSpecificConfig::fromCookie(*encoder->streamFormat().magicCookie);
    Bytes file = testing::matroskaAudio(asc, 48000, 2, r.packets);

    std::string dir = ::testing::TempDir();
    std::string path = dir + "orvane-eld-" + std::to_string(getpid()) + ".mkv";
    std::string err = path + ".err";
    {
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(file.data()),
                  static_cast<std::streamsize>(file.size()));
    }
    std::string probe = runCommand(
        "ffprobe -v error -show_entries "
        "stream=codec_name,profile,sample_rate,channels -of "
        "default=nw=1 '" +
        path + "' 2>'" + err + "'");
    EXPECT_NE(probe.find("codec_name=aac"), std::string::npos) << probe;
    EXPECT_NE(probe.find("profile=ELD"), std::string::npos) << probe;
    EXPECT_NE(probe.find("sample_rate=48000"), std::string::npos) << probe;
    EXPECT_NE(probe.find("channels=2"), std::string::npos) << probe;
    EXPECT_EQ(readFile(err), "");

    std::string pcm =
        runCommand("ffmpeg -nostdin -v error -i '" + path + "' -f f32le - 2>'" + err + "'");
    EXPECT_EQ(readFile(err), "");
    ASSERT_EQ(pcm.size(), r.packets.size() * 480 * 2 * sizeof(float));

    // Same sound as our own decoding path.
    std::vector<float> samples(pcm.size() / sizeof(float));
    std::memcpy(samples.data(), pcm.data(), pcm.size());
    double signal = 0, error = 0;
    for (size_t n = 1000; n + 1000 < input.frameCount(); ++n)
        for (size_t c = 0; c < 2; ++c) {
            double x = input.planes[c][n];
            double e = x - samples[(n + 240) * 2 + c];
            signal += x * x;
            error += e * e;
        }
    double snr = 10 * std::log10(signal / error);
    EXPECT_NEAR(snr, r.snrDb, 1.0);
    EXPECT_GE(snr, 60);
    std::remove(path.c_str());
    std::remove(err.c_str());
}

}  // namespace
}  // namespace orvane
