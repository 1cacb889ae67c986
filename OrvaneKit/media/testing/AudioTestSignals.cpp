#include "OrvaneKit/media/testing/AudioTestSignals.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>

#include "OrvaneKit/media/AacEldEncoder.h"
#include "OrvaneKit/media/AudioEncoder.h"
#include "OrvaneKit/media/EldFilterbank.h"
#include "OrvaneKit/media/ffmpeg/AudioDecoder.h"

namespace orvane::testing {

namespace {

constexpr double kRate = 48000;

PcmBuffer makeBuffer(double seconds, uint32_t channels) {
    return PcmBuffer(PcmFormat{kRate, channels}, static_cast<size_t>(seconds * kRate));
}

void copyToAll(PcmBuffer& b) {
    for (size_t c = 1; c < b.planes.size(); ++c) b.planes[c] = b.planes[0];
}

}  // namespace

PcmBuffer sineSignal(double hz, double amplitude, double seconds, uint32_t channels) {
    PcmBuffer b = makeBuffer(seconds, channels);
    for (size_t n = 0; n < b.frameCount(); ++n)
        b.planes[0][n] = static_cast<float>(amplitude * std::sin(2 * M_PI * hz * n / kRate));
    copyToAll(b);
    return b;
}

PcmBuffer chirpSignal(double fromHz, double toHz, double amplitude, double seconds) {
    PcmBuffer b = makeBuffer(seconds, 2);
    // Exponential sweep.
    double k = std::log(toHz / fromHz) / seconds;
    for (size_t n = 0; n < b.frameCount(); ++n) {
        double t = n / kRate;
        double phase = 2 * M_PI * fromHz * (std::exp(k * t) - 1) / k;
        b.planes[0][n] = static_cast<float>(amplitude * std::sin(phase));
    }
    copyToAll(b);
    return b;
}

PcmBuffer pluckedChords(double seconds) {
    PcmBuffer b = makeBuffer(seconds, 2);
    const double chords[][3] = {
        {196.0, 246.9, 293.7}, {220.0, 261.6, 329.6}, {174.6, 220.0, 261.6}, {196.0, 246.9, 392.0}};
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> noise(-1, 1);
    size_t chordLength = static_cast<size_t>(0.5 * kRate);
    for (size_t start = 0, i = 0; start < b.frameCount(); start += chordLength, ++i) {
        for (int note = 0; note < 3; ++note) {
            // Karplus-Strong string, each note on its own side of the stereo image.
            size_t period = static_cast<size_t>(kRate / chords[i % 4][note]);
            std::vector<double> line(period);
            for (double& v : line) v = noise(rng);
            double pan = 0.25 + 0.25 * note;
            for (size_t n = start, j = 0; n < b.frameCount(); ++n, ++j) {
                size_t at = j % period;
                double v = line[at];
                line[at] = 0.996 * 0.5 * (v + line[(at + 1) % period]);
                b.planes[0][n] += static_cast<float>(0.15 * (1 - pan) * v);
                b.planes[1][n] += static_cast<float>(0.15 * pan * v);
            }
        }
    }
    return b;
}

PcmBuffer pinkNoise(double amplitude, double seconds) {
    PcmBuffer b = makeBuffer(seconds, 2);
    std::mt19937 rng(11);
    std::normal_distribution<double> white(0, 1);
    for (auto& plane : b.planes) {
        // Kellet's filter of white noise.
        double b0 = 0, b1 = 0, b2 = 0, b3 = 0, b4 = 0, b5 = 0, b6 = 0;
        for (float& out : plane) {
            double w = white(rng);
            b0 = 0.99886 * b0 + w * 0.0555179;
            b1 = 0.99332 * b1 + w * 0.0750759;
            b2 = 0.96900 * b2 + w * 0.1538520;
            b3 = 0.86650 * b3 + w * 0.3104856;
            b4 = 0.55000 * b4 + w * 0.5329522;
            b5 = -0.7616 * b5 - w * 0.0168980;
            double pink = b0 + b1 + b2 + b3 + b4 + b5 + b6 + w * 0.5362;
            b6 = w * 0.115926;
            out = static_cast<float>(amplitude * pink * 0.11);
        }
    }
    return b;
}

CodecResult encodeAndMeasure(const PcmBuffer& input, int fixedScalefactor) {
    CodecResult r;
    auto encoder = AudioEncoder::create(kRate, static_cast<int>(input.format.channels), 128000);
    if (fixedScalefactor >= 0) encoder->core().setFixedScalefactor(fixedScalefactor);
    // Feed in uneven pieces, as capture does, plus padding that flushes the codec delay.
    constexpr int kDelay = EldFilterbank::kLookahead;
    size_t total = input.frameCount();
    PcmBuffer padded(input.format, total + kDelay + AudioEncoder::kFramesPerPacket);
    for (size_t c = 0; c < input.planes.size(); ++c)
        std::copy(input.planes[c].begin(), input.planes[c].end(), padded.planes[c].begin());
    for (size_t at = 0; at < padded.frameCount();) {
        size_t n = std::min<size_t>(padded.frameCount() - at, 441 + (at / 441) % 200);
        PcmBuffer piece(input.format, n);
        for (size_t c = 0; c < input.planes.size(); ++c)
            std::copy(padded.planes[c].begin() + static_cast<std::ptrdiff_t>(at),
                      padded.planes[c].begin() + static_cast<std::ptrdiff_t>(at + n),
                      piece.planes[c].begin());
        for (Bytes& p : encoder->encode(piece)) r.packets.push_back(std::move(p));
        at += n;
    }

    auto decoder = AudioDecoder::create(encoder->streamFormat());
    std::vector<std::vector<float>> out(input.planes.size());
    size_t bytes = 0;
    for (const Bytes& p : r.packets) {
        bytes += p.size();
        auto pcm = decoder->decode(p);
        for (size_t c = 0; c < out.size(); ++c) {
            if (pcm)
                out[c].insert(out[c].end(), pcm->planes[c].begin(), pcm->planes[c].end());
            else
                out[c].insert(out[c].end(), AudioEncoder::kFramesPerPacket, 0.0f);
        }
    }
    r.decoded = PcmBuffer(input.format, total);
    for (size_t c = 0; c < out.size(); ++c)
        for (size_t n = 0; n < total && n + kDelay < out[c].size(); ++n)
            r.decoded.planes[c][n] = out[c][n + kDelay];
    r.kbitPerSecond =
        bytes * 8.0 / (r.packets.size() * AudioEncoder::kFramesPerPacket / kRate) / 1000;

    size_t skip = static_cast<size_t>(0.02 * kRate);
    double signal = 0, error = 0, segSum = 0;
    int segments = 0;
    size_t seg = AudioEncoder::kFramesPerPacket;
    for (size_t s = skip; s + seg <= total - skip; s += seg) {
        double ss = 0, ee = 0;
        for (size_t c = 0; c < out.size(); ++c)
            for (size_t n = s; n < s + seg; ++n) {
                double x = input.planes[c][n], e = x - r.decoded.planes[c][n];
                ss += x * x;
                ee += e * e;
            }
        signal += ss;
        error += ee;
        double snr = 10 * std::log10((ss + 1e-20) / (ee + 1e-20));
        segSum += std::clamp(snr, -10.0, 90.0);
        ++segments;
    }
    r.snrDb = 10 * std::log10((signal + 1e-20) / (error + 1e-20));
    r.segmentalSnrDb = segments ? segSum / segments : 0;
    return r;
}

namespace {

void ebmlId(Bytes& out, uint32_t id) {
    if (id > 0xFFFFFF) out.push_back(static_cast<uint8_t>(id >> 24));
    if (id > 0xFFFF) out.push_back(static_cast<uint8_t>(id >> 16));
    if (id > 0xFF) out.push_back(static_cast<uint8_t>(id >> 8));
    out.push_back(static_cast<uint8_t>(id));
}

void ebmlElement(Bytes& out, uint32_t id, ByteView body) {
    ebmlId(out, id);
    // Eight-byte size field: always fits.
    out.push_back(0x01);
    for (int s = 48; s >= 0; s -= 8) out.push_back(static_cast<uint8_t>(body.size() >> s));
    append(out, body);
}

Bytes uintBody(uint64_t v) {
    Bytes b;
    for (int s = 56; s >= 0; s -= 8) b.push_back(static_cast<uint8_t>(v >> s));
    return b;
}

void ebmlUint(Bytes& out, uint32_t id, uint64_t v) {
    ebmlElement(out, id, uintBody(v));
}

void ebmlFloat(Bytes& out, uint32_t id, double v) {
    uint64_t bits;
    std::memcpy(&bits, &v, 8);
    ebmlElement(out, id, uintBody(bits));
}

void ebmlString(Bytes& out, uint32_t id, const char* s) {
    ebmlElement(out, id, asBytes(s));
}

}  // namespace

Bytes matroskaAudio(ByteView asc, int sampleRate, int channels, const std::vector<Bytes>& packets) {
    Bytes file;
    Bytes header;
    ebmlUint(header, 0x4286, 1);
    ebmlUint(header, 0x42F7, 1);
    ebmlUint(header, 0x42F2, 4);
    ebmlUint(header, 0x42F3, 8);
    ebmlString(header, 0x4282, "matroska");
    ebmlUint(header, 0x4287, 4);
    ebmlUint(header, 0x4285, 2);
    ebmlElement(file, 0x1A45DFA3, header);

    Bytes segment;
    Bytes info;
    ebmlUint(info, 0x2AD7B1, 1000000);  // 1 ms ticks
    ebmlString(info, 0x4D80, "orvane-test");
    ebmlString(info, 0x5741, "orvane-test");
    ebmlElement(segment, 0x1549A966, info);

    Bytes audio;
    ebmlFloat(audio, 0xB5, sampleRate);
    ebmlUint(audio, 0x9F, static_cast<uint64_t>(channels));
    Bytes entry;
    ebmlUint(entry, 0xD7, 1);
    ebmlUint(entry, 0x73C5, 1);
    ebmlUint(entry, 0x83, 2);  // audio
    ebmlString(entry, 0x86, "A_AAC");
    ebmlElement(entry, 0x63A2, asc);
    ebmlElement(entry, 0xE1, audio);
    Bytes tracks;
    ebmlElement(tracks, 0xAE, entry);
    ebmlElement(segment, 0x1654AE6B, tracks);

    // One cluster per 3 s keeps the 16-bit block timecodes in range.
    size_t perCluster = 300;
    for (size_t first = 0; first < packets.size(); first += perCluster) {
        Bytes cluster;
        uint64_t clusterMs = first * 480 * 1000 / static_cast<uint64_t>(sampleRate);
        ebmlUint(cluster, 0xE7, clusterMs);
        for (size_t i = first; i < std::min(packets.size(), first + perCluster); ++i) {
            uint64_t ms = i * 480 * 1000 / static_cast<uint64_t>(sampleRate);
            Bytes block{0x81};
            appendBE16(block, static_cast<uint16_t>(ms - clusterMs));
            block.push_back(0x80);  // keyframe
            append(block, packets[i]);
            ebmlElement(cluster, 0xA3, block);
        }
        ebmlElement(segment, 0x1F43B675, cluster);
    }
    ebmlElement(file, 0x18538067, segment);
    return file;
}

}  // namespace orvane::testing
