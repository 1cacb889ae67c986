#include "Orvane_Host/capture/pulse/PulseSystemAudioSource.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <thread>

#include "OrvaneKit/media/AudioEncoder.h"
#include "OrvaneKit/media/ffmpeg/AudioDecoder.h"
#include "Orvane_Host/capture/testing/PulseTestServer.h"

namespace orvane {
namespace {

void writeToneWav(const std::string& path, double hz, double seconds) {
    const uint32_t rate = 48000, frames = static_cast<uint32_t>(seconds * rate);
    Bytes wav;
    auto le32 = [&](uint32_t v) {
        for (int i = 0; i < 4; ++i) wav.push_back(static_cast<uint8_t>(v >> (8 * i)));
    };
    auto le16 = [&](uint16_t v) {
        wav.push_back(static_cast<uint8_t>(v));
        wav.push_back(static_cast<uint8_t>(v >> 8));
    };
    append(wav, asBytes("RIFF"));
    le32(36 + frames * 4);
    append(wav, asBytes("WAVEfmt "));
    le32(16);
    le16(1);
    le16(2);
    le32(rate);
    le32(rate * 4);
    le16(4);
    le16(16);
    append(wav, asBytes("data"));
    le32(frames * 4);
    for (uint32_t n = 0; n < frames; ++n) {
        auto v = static_cast<int16_t>(12000 * std::sin(2 * M_PI * hz * n / rate));
        le16(static_cast<uint16_t>(v));
        le16(static_cast<uint16_t>(v));
    }
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(wav.data()), static_cast<std::streamsize>(wav.size()));
}

double toneLevel(const std::vector<float>& x, size_t from, size_t count, double hz) {
    double re = 0, im = 0;
    for (size_t n = 0; n < count; ++n) {
        re += x[from + n] * std::cos(2 * M_PI * hz * n / 48000);
        im += x[from + n] * std::sin(2 * M_PI * hz * n / 48000);
    }
    return std::hypot(re, im);
}

// A tone played into the default output comes out of our source, through our encoder and
// the decoder, with its peak at 1 kHz.
TEST(InteropPulseSystemAudio, PlayedToneComesOutThroughTheCodec) {
    testing::PulseTestServer server;
    if (!server.ok()) GTEST_SKIP() << "no private PulseAudio server: " << server.reason();
    if (std::system("command -v paplay >/dev/null") != 0) GTEST_SKIP() << "paplay not installed";

    std::mutex lock;
    std::condition_variable changed;
    std::vector<PcmBuffer> chunks;
    double loudFrames = 0;
    PulseSystemAudioSource source(server.address());
    auto stream = source.start([&](PcmBuffer pcm) {
        std::lock_guard g(lock);
        for (float v : pcm.planes[0])
            if (std::fabs(v) > 0.05f) loudFrames += 1;
        chunks.push_back(std::move(pcm));
        changed.notify_all();
    });

    std::string wav = server.dir() + "/tone.wav";
    writeToneWav(wav, 1000, 1.0);
    std::string play = "paplay --server='" + server.address() + "' '" + wav + "'";
    ASSERT_EQ(std::system(play.c_str()), 0);
    {
        std::unique_lock g(lock);
        changed.wait_for(g, std::chrono::seconds(10), [&] { return loudFrames > 0.5 * 48000; });
    }
    stream->stop();
    stream->stop();

    std::lock_guard g(lock);
    ASSERT_FALSE(chunks.empty());
    size_t total = 0;
    for (const PcmBuffer& c : chunks) {
        ASSERT_EQ(c.format, (PcmFormat{48000, 2}));
        ASSERT_EQ(c.planes.size(), 2u);
        total += c.frameCount();
    }
    EXPECT_LE(total / chunks.size(), 2400u) << "chunks should be about 10 ms";
    ASSERT_GT(loudFrames, 0.5 * 48000);

    auto encoder = AudioEncoder::create(48000, 2, 128000);
    auto decoder = AudioDecoder::create(encoder->streamFormat());
    std::vector<float> decoded;
    for (const PcmBuffer& c : chunks)
        for (const Bytes& packet : encoder->encode(c)) {
            auto pcm = decoder->decode(packet);
            ASSERT_TRUE(pcm);
            decoded.insert(decoded.end(), pcm->planes[0].begin(), pcm->planes[0].end());
        }
    // The loudest 0.25 s window, then the strongest of 50 Hz steps up to 5 kHz.
    size_t window = 12000, best = 0;
    double bestEnergy = -1;
    for (size_t at = 0; at + window <= decoded.size(); at += 2400) {
        double e = 0;
        for (size_t n = at; n < at + window; ++n) e += decoded[n] * decoded[n];
        if (e > bestEnergy) bestEnergy = e, best = at;
    }
    ASSERT_GT(bestEnergy, 0);
    double peakHz = 0, peak = -1;
    for (double hz = 50; hz <= 5000; hz += 50) {
        double level = toneLevel(decoded, best, window, hz);
        if (level > peak) peak = level, peakHz = hz;
    }
    EXPECT_EQ(peakHz, 1000);
}

TEST(InteropPulseSystemAudio, NoServerIsAPlatformError) {
    PulseSystemAudioSource source(std::string("unix:/nonexistent/orvane/native"));
    EXPECT_THROW(source.start([](PcmBuffer) {}), PlatformError);
}

}  // namespace
}  // namespace orvane
