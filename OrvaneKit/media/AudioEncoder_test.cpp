#include "OrvaneKit/media/AudioEncoder.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "OrvaneKit/media/AudioSpecificConfig.h"
#include "OrvaneKit/media/ffmpeg/AudioDecoder.h"
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

TEST(AudioEncoder, HostileSamplesStillMakeDecodablePackets) {
    auto encoder = AudioEncoder::create(48000, 2, 128000);
    auto decoder = AudioDecoder::create(encoder->streamFormat());
    PcmBuffer pcm = testing::sineSignal(1000, 0.5, 0.1);
    const float odd[] = {std::nanf(""), INFINITY, -INFINITY, 1e30f, -1e30f, 3.0f};
    for (size_t n = 0; n < pcm.frameCount(); n += 7) pcm.planes[n % 2][n] = odd[n % 6];
    auto packets = encoder->encode(pcm);
    ASSERT_EQ(packets.size(), 10u);
    for (const Bytes& p : packets) {
        EXPECT_LE(p.size(), 1536u);
        auto out = decoder->decode(p);
        ASSERT_TRUE(out);
        for (float v : out->planes[0]) ASSERT_TRUE(std::isfinite(v));
    }
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

TEST(AudioCodecQuality, MonoAnd44k) {
    // Single-channel elements, and the 44.1 kHz configuration.
    auto mono = testing::encodeAndMeasure(testing::sineSignal(1000, 0.3, 1, 1));
    EXPECT_GE(mono.snrDb, 60);
    auto encoder = AudioEncoder::create(44100, 2, 128000);
    auto decoder = AudioDecoder::create(encoder->streamFormat());
    ASSERT_TRUE(decoder);
    PcmBuffer tone = testing::sineSignal(1000, 0.3, 0.2);
    tone.format.sampleRate = 44100;
    auto packets = encoder->encode(tone);
    ASSERT_EQ(packets.size(), 20u);
    for (const Bytes& p : packets) {
        auto out = decoder->decode(p);
        ASSERT_TRUE(out);
        EXPECT_EQ(out->format.sampleRate, 44100);
    }
}

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

// Signals made by sox, as the acceptance figures are stated for them.
// Three-channel output (three strings) is mixed to stereo: spread across the image, or the same
// mix on both sides.
std::optional<PcmBuffer> soxSignal(const std::string& args, int soxChannels, bool spread = true) {
    std::string raw = runCommand("sox -R -n -r 48000 -c " + std::to_string(soxChannels) +
                                 " -t f32 - " + args + " 2>/dev/null");
    if (raw.empty()) return std::nullopt;
    size_t frames = raw.size() / sizeof(float) / static_cast<size_t>(soxChannels);
    std::vector<float> v(frames * static_cast<size_t>(soxChannels));
    std::memcpy(v.data(), raw.data(), v.size() * sizeof(float));
    PcmBuffer out(PcmFormat{48000, 2}, frames);
    for (size_t n = 0; n < frames; ++n) {
        const float* f = &v[n * static_cast<size_t>(soxChannels)];
        if (soxChannels == 3 && !spread) {
            out.planes[0][n] = out.planes[1][n] = (f[0] + f[1] + f[2]) / 3;
        } else if (soxChannels == 3) {
            // Three strings spread across the stereo image.
            out.planes[0][n] = 0.5f * f[0] + 0.35f * f[1] + 0.15f * f[2];
            out.planes[1][n] = 0.15f * f[0] + 0.35f * f[1] + 0.5f * f[2];
        } else {
            out.planes[0][n] = f[0];
            out.planes[1][n] = f[1];
        }
    }
    return out;
}

TEST(InteropSoxSignals, QualityAt128k) {
    if (std::system("command -v sox >/dev/null") != 0) GTEST_SKIP() << "sox not installed";
    struct Case {
        const char* name;
        std::string args;
        int channels;
        double minSnr, minSegmental;
        bool spread = true;
    };
    std::string chords;
    for (const char* chord : {"C3 pluck E3 pluck G3", "A2 pluck C3 pluck E3",
                              "F2 pluck A2 pluck C3", "G2 pluck B2 pluck D3"})
        chords += std::string(chords.empty() ? "" : " : ") + "synth 0.75 pluck " + chord;
    for (const Case& c : {
             Case{"sine 1 kHz -20 dBFS", "synth 3 sine 1000 vol 0.1", 2, 60, 60},
             Case{"chirp", "synth 3 sine 50/20000 vol 0.5", 2, 60, 55},
             Case{"plucked chords", chords, 3, -100, 40, false},
             Case{"plucked chords, strings spread in stereo", chords, 3, -100, 30},
             Case{"pink noise", "synth 3 pinknoise vol 0.2", 2, 5, 5},
         }) {
        auto input = soxSignal(c.args, c.channels, c.spread);
        ASSERT_TRUE(input) << c.name;
        auto r = testing::encodeAndMeasure(*input);
        std::printf("%s: SNR %.1f dB, segmental %.1f dB, %.1f kbit/s\n", c.name, r.snrDb,
                    r.segmentalSnrDb, r.kbitPerSecond);
        EXPECT_GE(r.snrDb, c.minSnr) << c.name;
        EXPECT_GE(r.segmentalSnrDb, c.minSegmental) << c.name;
        EXPECT_NEAR(r.kbitPerSecond, 128, 12.8) << c.name;
        for (const Bytes& p : r.packets) ASSERT_LE(p.size(), 1536u);
    }
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
