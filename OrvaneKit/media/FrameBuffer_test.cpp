#include "OrvaneKit/media/FrameBuffer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <thread>

namespace orvane {
namespace {

TEST(FrameBuffer, PlaneGeometryPerFormat) {
    struct Case {
        PixelFormat format;
        int w, h;
        int planes;
        int row0, row1, rows1;
    };
    const Case cases[] = {
        {PixelFormat::nv12, 1920, 1080, 2, 1920, 1920, 540},
        {PixelFormat::i420, 1920, 1080, 3, 1920, 960, 540},
        {PixelFormat::yuv420p10, 1920, 1080, 3, 3840, 1920, 540},
        {PixelFormat::i420, 7, 5, 3, 7, 4, 3},  // odd sizes round chroma up
    };
    for (const auto& c : cases) {
        auto b = FrameBuffer::make(c.format, c.w, c.h);
        ASSERT_TRUE(b);
        EXPECT_EQ(b->planes(), c.planes);
        EXPECT_EQ(b->rowBytes(0), c.row0);
        EXPECT_EQ(b->rowBytes(1), c.row1);
        EXPECT_EQ(b->planeHeight(1), c.rows1);
        for (int p = 0; p < b->planes(); ++p) {
            EXPECT_EQ(reinterpret_cast<uintptr_t>(b->data(p)) % 64, 0u);
            EXPECT_EQ(b->stride(p) % 64, 0);
            EXPECT_GE(b->stride(p), b->rowBytes(p));
        }
        // Planes do not overlap: the last byte of each plane precedes the next plane.
        for (int p = 0; p + 1 < b->planes(); ++p) {
            EXPECT_LE(b->data(p) + b->stride(p) * b->planeHeight(p), b->data(p + 1));
        }
        b->fillBlack();  // touches every row; ASan catches an overrun
    }
    EXPECT_FALSE(FrameBuffer::make(PixelFormat::nv12, 0, 10));
}

TEST(FrameBuffer, FillBlackTenBit) {
    auto b = FrameBuffer::make(PixelFormat::yuv420p10, 4, 2);
    b->fillBlack();
    EXPECT_EQ(b->data(0)[0] | (b->data(0)[1] << 8), 64);
    EXPECT_EQ(b->data(2)[0] | (b->data(2)[1] << 8), 512);
}

TEST(FrameBufferPool, ReusesAndCapsBuffers) {
    FrameBufferPool pool(PixelFormat::nv12, 64, 32, 2);
    auto a = pool.acquire();
    auto b = pool.acquire();
    ASSERT_TRUE(a && b);
    EXPECT_EQ(pool.inUse(), 2u);
    EXPECT_FALSE(pool.acquire());  // exhausted: the caller drops its frame
    FrameBuffer* first = a.get();
    a.reset();
    EXPECT_EQ(pool.inUse(), 1u);
    auto c = pool.acquire();
    EXPECT_EQ(c.get(), first);  // the released buffer comes back, no new allocation
    EXPECT_EQ(c->width(), 64);
}

TEST(FrameBufferPool, BuffersMayOutliveThePool) {
    std::shared_ptr<FrameBuffer> kept;
    {
        FrameBufferPool pool(PixelFormat::i420, 16, 16, 1);
        kept = pool.acquire();
    }
    ASSERT_TRUE(kept);
    kept->fillBlack();
    kept.reset();  // ASan/LSan: freed, not returned to a dead pool
}

TEST(FrameBufferPoolConcurrency, AcquireReleaseAcrossThreads) {
    FrameBufferPool pool(PixelFormat::nv12, 32, 32, 4);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                if (auto b = pool.acquire()) b->data(0)[0] = static_cast<uint8_t>(i);
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(pool.inUse(), 0u);
}

}  // namespace
}  // namespace orvane
