#include "Orvane_Host/capture/FrameConverter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

namespace orvane {
namespace {

struct Rgb {
    int r, g, b;
};

// The BT.709 limited-range reference in floating point.
struct Yuv {
    double y, u, v;
};
Yuv reference(Rgb c) {
    const double r = c.r / 255.0, g = c.g / 255.0, b = c.b / 255.0;
    const double y = 0.2126 * r + 0.7152 * g + 0.0722 * b;
    return {16 + 219 * y, 128 + 224 * (b - y) / 1.8556, 128 + 224 * (r - y) / 1.5748};
}

std::vector<uint8_t> solid(int w, int h, Rgb c) {
    std::vector<uint8_t> px(static_cast<size_t>(w) * h * 4);
    for (size_t i = 0; i < px.size(); i += 4) {
        px[i] = static_cast<uint8_t>(c.b);
        px[i + 1] = static_cast<uint8_t>(c.g);
        px[i + 2] = static_cast<uint8_t>(c.r);
        px[i + 3] = 0x5a;  // X servers leave this byte undefined
    }
    return px;
}

uint8_t chromaAt(const FrameBuffer& f, int plane, int cx, int cy) {
    if (f.format() == PixelFormat::nv12)
        return f.data(1)[cy * f.stride(1) + 2 * cx + (plane == 1 ? 0 : 1)];
    return f.data(plane)[cy * f.stride(plane) + cx];
}

TEST(FrameConverter, KnownColoursMatchBt709VideoRange) {
    const Rgb colours[] = {{0, 0, 0},   {255, 255, 255}, {255, 0, 0},   {0, 255, 0},
                           {0, 0, 255}, {128, 128, 128}, {255, 255, 0}, {12, 200, 77}};
    for (PixelFormat format : {PixelFormat::nv12, PixelFormat::i420}) {
        for (Rgb c : colours) {
            auto px = solid(64, 4, c);
            auto out = FrameBuffer::make(format, 64, 4);
            FrameConverter::convertUnscaled(px.data(), 64 * 4, *out);
            const Yuv want = reference(c);
            SCOPED_TRACE(::testing::Message() << c.r << "," << c.g << "," << c.b);
            EXPECT_NEAR(out->data(0)[3 * out->stride(0) + 40], want.y, 1.0);
            EXPECT_NEAR(chromaAt(*out, 1, 20, 1), want.u, 1.0);
            EXPECT_NEAR(chromaAt(*out, 2, 20, 1), want.v, 1.0);
        }
    }
    // Exact anchors of the range.
    auto out = FrameBuffer::make(PixelFormat::nv12, 32, 2);
    auto white = solid(32, 2, {255, 255, 255});
    FrameConverter::convertUnscaled(white.data(), 32 * 4, *out);
    EXPECT_EQ(out->data(0)[0], 235);
    EXPECT_EQ(chromaAt(*out, 1, 0, 0), 128);
    EXPECT_EQ(chromaAt(*out, 2, 0, 0), 128);
}

// The SIMD path and the portable one must agree exactly, including tails and odd sizes.
TEST(FrameConverter, SimdMatchesPortablePath) {
    if (!FrameConverter::hasSimd()) GTEST_SKIP() << "CPU without AVX2: only one path exists";
    std::mt19937 rng(42);
    const int sizes[][2] = {{64, 2}, {96, 6}, {70, 9}, {33, 3}, {1920, 4}, {31, 1}};
    for (PixelFormat format : {PixelFormat::nv12, PixelFormat::i420}) {
        for (auto [w, h] : sizes) {
            const int stride = w * 4 + 12;
            std::vector<uint8_t> px(static_cast<size_t>(stride) * h);
            for (auto& b : px) b = static_cast<uint8_t>(rng());
            auto fast = FrameBuffer::make(format, w, h);
            auto slow = FrameBuffer::make(format, w, h);
            FrameConverter::convertUnscaled(px.data(), stride, *fast, true);
            FrameConverter::convertUnscaled(px.data(), stride, *slow, false);
            for (int p = 0; p < fast->planes(); ++p)
                for (int y = 0; y < fast->planeHeight(p); ++y)
                    ASSERT_EQ(0, std::memcmp(fast->data(p) + y * fast->stride(p),
                                             slow->data(p) + y * slow->stride(p),
                                             static_cast<size_t>(fast->rowBytes(p))))
                        << "format " << int(format) << " size " << w << "x" << h << " plane " << p
                        << " row " << y;
        }
    }
}

// Chroma is the mean of its 2x2 block; luma keeps left/right and top/bottom where they were.
TEST(FrameConverter, LayoutAndChromaSiting) {
    const int w = 64, h = 4;
    std::vector<uint8_t> px(static_cast<size_t>(w) * h * 4, 0);
    auto set = [&](int x, int y, Rgb c) {
        uint8_t* p = &px[(static_cast<size_t>(y) * w + x) * 4];
        p[0] = static_cast<uint8_t>(c.b), p[1] = static_cast<uint8_t>(c.g),
        p[2] = static_cast<uint8_t>(c.r);
    };
    for (int x = 0; x < w; ++x)
        for (int y = 0; y < h; ++y) set(x, y, x < 40 ? Rgb{0, 0, 0} : Rgb{255, 0, 0});
    set(41, 3, {255, 255, 255});
    for (PixelFormat format : {PixelFormat::nv12, PixelFormat::i420}) {
        auto out = FrameBuffer::make(format, w, h);
        FrameConverter::convertUnscaled(px.data(), w * 4, *out);
        EXPECT_EQ(out->data(0)[39], 16);
        EXPECT_NEAR(out->data(0)[40], 63, 1);
        EXPECT_EQ(out->data(0)[3 * out->stride(0) + 41], 235);
        EXPECT_EQ(chromaAt(*out, 1, 19, 0), 128);
        EXPECT_NEAR(chromaAt(*out, 2, 20, 0), 240, 1);
        // Block (40..41, 2..3): three red pixels and one white.
        EXPECT_NEAR(chromaAt(*out, 2, 20, 1), (3 * 240 + 128) / 4.0, 2);
    }
}

TEST(FrameConverter, ScalesToTheOutputSize) {
    const int w = 256, h = 128;
    std::vector<uint8_t> px(static_cast<size_t>(w) * h * 4);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint8_t* p = &px[(static_cast<size_t>(y) * w + x) * 4];
            const bool bright = x >= w / 2;
            p[0] = p[1] = p[2] = bright ? 255 : 0;
        }
    FrameConverter converter;
    auto out = FrameBuffer::make(PixelFormat::i420, 160, 80);
    converter.convert(px.data(), w * 4, w, h, *out);
    EXPECT_EQ(out->data(0)[40 * out->stride(0) + 20], 16);
    EXPECT_NEAR(out->data(0)[40 * out->stride(0) + 140], 235, 3);  // bilinear rounds down a little

    // One spare column and row (an odd grab under an even output) is cropped, not rescaled.
    auto cropped = FrameBuffer::make(PixelFormat::nv12, 254, 126);
    converter.convert(px.data(), w * 4, 255, 127, *cropped);
    EXPECT_EQ(cropped->data(0)[127], 16);
    EXPECT_EQ(cropped->data(0)[128], 235);
}

}  // namespace
}  // namespace orvane
