#include "OrvaneKit/media/testing/SyntheticFrames.h"

#include <random>

namespace orvane {

namespace {

void put(FrameBuffer& f, int plane, int x, int y, int value8) {
    uint8_t* row = f.data(plane) + static_cast<ptrdiff_t>(y) * f.stride(plane);
    if (f.format() == PixelFormat::yuv420p10) {
        const int v = value8 << 2;
        row[2 * x] = static_cast<uint8_t>(v);
        row[2 * x + 1] = static_cast<uint8_t>(v >> 8);
    } else {
        row[x] = static_cast<uint8_t>(value8);
    }
}

// Chroma sample (x, y) of component c (0 Cb, 1 Cr).
void putChroma(FrameBuffer& f, int c, int x, int y, int value8) {
    if (f.format() == PixelFormat::nv12) {
        put(f, 1, 2 * x + c, y, value8);
    } else {
        put(f, 1 + c, x, y, value8);
    }
}

}  // namespace

void drawGradientFrame(FrameBuffer& f, int index) {
    const int w = f.width();
    const int h = f.height();
    const int shift = index * 4;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) put(f, 0, x, y, 16 + ((x + y + shift) * 219 / (w + h)) % 220);
    }
    for (int y = 0; y < (h + 1) / 2; ++y) {
        for (int x = 0; x < (w + 1) / 2; ++x) {
            putChroma(f, 0, x, y, 64 + (x + shift) % 128);
            putChroma(f, 1, x, y, 64 + (y + shift / 2) % 128);
        }
    }
    const int block = std::max(2, w / 16) & ~1;
    const int bh = std::min(h, std::max(2, h / 12) & ~1);
    for (int bit = 0; bit < 16 && (bit + 1) * block <= w; ++bit) {
        const int v = (index >> (15 - bit)) & 1 ? 235 : 16;
        for (int y = 0; y < bh; ++y) {
            for (int x = bit * block; x < (bit + 1) * block; ++x) put(f, 0, x, y, v);
        }
        for (int y = 0; y < bh / 2; ++y) {
            for (int x = bit * block / 2; x < (bit + 1) * block / 2; ++x) {
                putChroma(f, 0, x, y, 128);
                putChroma(f, 1, x, y, 128);
            }
        }
    }
}

void drawNoiseFrame(FrameBuffer& f, uint64_t seed, int amplitude) {
    const int span = 2 * amplitude + 1;
    std::mt19937_64 rng(seed);
    for (int p = 0; p < f.planes(); ++p) {
        for (int y = 0; y < f.planeHeight(p); ++y) {
            uint8_t* row = f.data(p) + static_cast<ptrdiff_t>(y) * f.stride(p);
            if (f.format() == PixelFormat::yuv420p10) {
                for (int x = 0; x < f.rowBytes(p) / 2; ++x) {
                    const int v =
                        (128 - amplitude + static_cast<int>(rng() % static_cast<uint64_t>(span)))
                        << 2;
                    row[2 * x] = static_cast<uint8_t>(v);
                    row[2 * x + 1] = static_cast<uint8_t>(v >> 8);
                }
            } else {
                for (int x = 0; x < f.rowBytes(p); x += 8) {
                    const uint64_t r = rng();
                    for (int k = 0; k < 8 && x + k < f.rowBytes(p); ++k) {
                        row[x + k] = static_cast<uint8_t>(
                            128 - amplitude +
                            static_cast<int>(((r >> (8 * k)) & 0xff) * span / 256));
                    }
                }
            }
        }
    }
}

bool appendAnnexB(const VideoPacket& packet, Bytes& stream) {
    static constexpr uint8_t kStart[] = {0, 0, 0, 1};
    if (packet.isKeyframe) {
        for (const auto& set : packet.parameterSets) {
            stream.insert(stream.end(), std::begin(kStart), std::end(kStart));
            stream.insert(stream.end(), set.begin(), set.end());
        }
    }
    size_t offset = 0;
    const Bytes& a = packet.avcc;
    while (offset < a.size()) {
        if (a.size() - offset < 4) return false;
        const size_t len = readBE32(a.data() + offset);
        offset += 4;
        if (a.size() - offset < len) return false;
        stream.insert(stream.end(), std::begin(kStart), std::end(kStart));
        stream.insert(stream.end(), a.begin() + static_cast<ptrdiff_t>(offset),
                      a.begin() + static_cast<ptrdiff_t>(offset + len));
        offset += len;
    }
    return true;
}

std::vector<int> nalTypes(ByteView avcc, VideoCodec codec) {
    std::vector<int> types;
    size_t offset = 0;
    while (offset < avcc.size()) {
        if (avcc.size() - offset < 4) return {};
        const size_t len = readBE32(avcc.data() + offset);
        offset += 4;
        if (len == 0 || avcc.size() - offset < len) return {};
        const uint8_t header = avcc[offset];
        types.push_back(codec == VideoCodec::hevc ? (header >> 1) & 0x3f : header & 0x1f);
        offset += len;
    }
    return types;
}

}  // namespace orvane
