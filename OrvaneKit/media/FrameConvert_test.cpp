#include "OrvaneKit/media/FrameConvert.h"

#include <gtest/gtest.h>

namespace orvane {
namespace {

// Sample (x, y) of a plane as a plain number, whatever the depth.
int sample(const FrameBuffer& f, int plane, int x, int y) {
    const uint8_t* row = f.data(plane) + static_cast<ptrdiff_t>(y) * f.stride(plane);
    return f.format() == PixelFormat::yuv420p10 ? row[2 * x] | row[2 * x + 1] << 8 : row[x];
}

void set(FrameBuffer& f, int plane, int x, int y, int v) {
    uint8_t* row = f.data(plane) + static_cast<ptrdiff_t>(y) * f.stride(plane);
    if (f.format() == PixelFormat::yuv420p10) {
        row[2 * x] = static_cast<uint8_t>(v);
        row[2 * x + 1] = static_cast<uint8_t>(v >> 8);
    } else {
        row[x] = static_cast<uint8_t>(v);
    }
}

// Cb or Cr at chroma position (x, y), whatever the layout.
int chroma(const FrameBuffer& f, int c, int x, int y) {
    return f.format() == PixelFormat::nv12 ? sample(f, 1, 2 * x + c, y) : sample(f, 1 + c, x, y);
}

void setChroma(FrameBuffer& f, int c, int x, int y, int v) {
    if (f.format() == PixelFormat::nv12) {
        set(f, 1, 2 * x + c, y, v);
    } else {
        set(f, 1 + c, x, y, v);
    }
}

TEST(FrameConvert, EveryLayoutAndDepthPair) {
    const PixelFormat formats[] = {PixelFormat::nv12, PixelFormat::i420, PixelFormat::yuv420p10};
    for (auto from : formats) {
        for (auto to : formats) {
            SCOPED_TRACE(static_cast<int>(from) * 10 + static_cast<int>(to));
            const bool fromTen = from == PixelFormat::yuv420p10;
            const bool toTen = to == PixelFormat::yuv420p10;
            auto src = FrameBuffer::make(from, 6, 4);
            auto dst = FrameBuffer::make(to, 6, 4);
            for (int y = 0; y < 4; ++y)
                for (int x = 0; x < 6; ++x)
                    set(*src, 0, x, y, (fromTen ? 4 : 1) * (20 + x + 6 * y) + (fromTen ? 2 : 0));
            for (int y = 0; y < 2; ++y)
                for (int x = 0; x < 3; ++x) {
                    setChroma(*src, 0, x, y, (fromTen ? 4 : 1) * (100 + x + 3 * y));
                    setChroma(*src, 1, x, y,
                              (fromTen ? 4 : 1) * (200 + x + 3 * y) + (fromTen ? 1 : 0));
                }
            ASSERT_TRUE(convertFrame(*src, *dst));
            // 10 -> 8 rounds to nearest (…+2 rounds up, …+1 down); 8 -> 10 shifts by two.
            auto expect = [&](int base8, int tenExtra) {
                if (fromTen && !toTen) return base8 + (tenExtra >= 2 ? 1 : 0);
                if (!fromTen && toTen) return base8 * 4;
                return fromTen ? base8 * 4 + tenExtra : base8;
            };
            for (int y = 0; y < 4; ++y)
                for (int x = 0; x < 6; ++x)
                    EXPECT_EQ(sample(*dst, 0, x, y), expect(20 + x + 6 * y, 2));
            for (int y = 0; y < 2; ++y)
                for (int x = 0; x < 3; ++x) {
                    EXPECT_EQ(chroma(*dst, 0, x, y), expect(100 + x + 3 * y, 0));
                    EXPECT_EQ(chroma(*dst, 1, x, y), expect(200 + x + 3 * y, 1));
                }
        }
    }
    auto a = FrameBuffer::make(PixelFormat::nv12, 4, 4);
    auto b = FrameBuffer::make(PixelFormat::i420, 6, 4);
    EXPECT_FALSE(convertFrame(*a, *b));
}

}  // namespace
}  // namespace orvane
