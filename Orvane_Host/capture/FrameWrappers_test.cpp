#include "Orvane_Host/capture/FrameWrappers.h"

#include <gtest/gtest.h>

#include <thread>

#include "Orvane_Host/capture/testing/FakeCursorSource.h"
#include "Orvane_Host/capture/testing/FakeScreenSource.h"

namespace orvane {
namespace {

using testing::FakeCursorSource;

int lumaAt(const FrameBuffer& f, int x, int y) {
    return f.data(0)[static_cast<size_t>(y) * f.stride(0) + x];
}

std::pair<int, int> chromaAt(const FrameBuffer& f, int x, int y) {
    if (f.format() == PixelFormat::nv12) {
        const uint8_t* p = f.data(1) + static_cast<size_t>(y / 2) * f.stride(1) + (x / 2) * 2;
        return {p[0], p[1]};
    }
    return {f.data(1)[static_cast<size_t>(y / 2) * f.stride(1) + x / 2],
            f.data(2)[static_cast<size_t>(y / 2) * f.stride(2) + x / 2]};
}

std::shared_ptr<CursorImage> solid(int size, uint32_t argb) {
    auto c = std::make_shared<CursorImage>();
    c->width = c->height = size;
    c->argb.assign(static_cast<size_t>(size) * size, argb);
    return c;
}

TEST(BlendCursor, ColoursAlphaScaleAndEdges) {
    struct Case {
        const char* name;
        PixelFormat format;
        uint32_t argb;  // premultiplied
        double left, top, scale;
        int insideX, insideY;  // a frame pixel the cursor covers
        int luma, cb, cr;      // expected there (black under it)
    };
    const Case cases[] = {
        {"opaque white, NV12", PixelFormat::nv12, 0xffffffff, 4, 4, 1, 5, 5, 235, 128, 128},
        {"opaque white, I420", PixelFormat::i420, 0xffffffff, 4, 4, 1, 5, 5, 235, 128, 128},
        {"opaque red", PixelFormat::nv12, 0xffff0000, 4, 4, 1, 5, 5, 63, 102, 240},
        {"half white over black", PixelFormat::i420, 0x80808080, 4, 4, 1, 5, 5, 126, 128, 128},
        {"doubled: 4 pixels become 8", PixelFormat::nv12, 0xffffffff, 4, 4, 2, 11, 11, 235, 128,
         128},
        {"hanging off the top left", PixelFormat::i420, 0xffffffff, -3, -3, 1, 0, 0, 235, 128, 128},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto frame = FrameBuffer::make(c.format, 16, 16);
        frame->fillBlack();
        blendCursor(*frame, *solid(4, c.argb), c.left, c.top, c.scale);
        EXPECT_NEAR(lumaAt(*frame, c.insideX, c.insideY), c.luma, 1);
        auto [cb, cr] = chromaAt(*frame, c.insideX, c.insideY);
        EXPECT_NEAR(cb, c.cb, 1);
        EXPECT_NEAR(cr, c.cr, 1);
        EXPECT_EQ(lumaAt(*frame, 14, 14), 16);  // untouched outside the cursor
        EXPECT_EQ(chromaAt(*frame, 14, 14), std::make_pair(128, 128));
    }
    // Entirely outside: nothing changes and nothing is written out of bounds.
    auto frame = FrameBuffer::make(PixelFormat::nv12, 16, 16);
    frame->fillBlack();
    auto black = FrameBuffer::make(PixelFormat::nv12, 16, 16);
    black->fillBlack();
    blendCursor(*frame, *solid(4, 0xffffffff), 40, -20, 1);
    EXPECT_TRUE(samePicture(*frame, *black));
}

struct Delivered {
    std::mutex mutex;
    std::vector<CapturedFrame> frames;
    StreamSink sink() {
        return {[this](CapturedFrame f) {
                    std::lock_guard g(mutex);
                    frames.push_back(std::move(f));
                },
                [](PlatformError) {}};
    }
    size_t count() {
        std::lock_guard g(mutex);
        return frames.size();
    }
    std::shared_ptr<FrameBuffer> last() {
        std::lock_guard g(mutex);
        return frames.back().buffer;
    }
};

class CursorOverlayTest : public ::testing::Test {
protected:
    CaptureDisplay display{2, "right", 100, 0, 32, 32, 1, false};
    std::shared_ptr<FakeScreenSource> screens =
        std::make_shared<FakeScreenSource>(std::vector<CaptureDisplay>{display});
    std::shared_ptr<FakeCursorSource> cursor = std::make_shared<FakeCursorSource>();
    CursorOverlaySource overlay{screens, cursor};
    Delivered out;
    std::shared_ptr<const CursorImage> arrow = solid(4, 0xffffffff);

    StreamConfig config(int fps = 1000) {
        StreamConfig c;
        c.width = 16;  // half the display's size
        c.height = 16;
        c.fps = fps;
        return c;
    }
    void pointerAt(double x, double y) { cursor->set({x, y, arrow}); }
};

TEST_F(CursorOverlayTest, DrawsThePointerIntoFramesAndRedrawsWhenItMoves) {
    pointerAt(108, 8);  // display pixel (8, 8): frame pixel (4, 4)
    auto stream = overlay.startStream(display, config(), out.sink());
    EXPECT_FALSE(screens->stream().config.showsCursor);  // the platform draws none itself

    screens->pushFrame(16, 16, MediaTime{1000, 1'000'000});
    ASSERT_EQ(out.count(), 1u);
    EXPECT_EQ(lumaAt(*out.last(), 4, 4), 235);  // scaled with the frame: 4 pixels become 2
    EXPECT_EQ(lumaAt(*out.last(), 5, 5), 235);
    EXPECT_EQ(lumaAt(*out.last(), 6, 6), 16);

    // The pointer moves over a still screen: a new frame, drawn on the clean picture.
    pointerAt(120, 20);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    cursor->tick();
    ASSERT_EQ(out.count(), 2u);
    EXPECT_EQ(lumaAt(*out.last(), 4, 4), 16);
    EXPECT_EQ(lumaAt(*out.last(), 10, 10), 235);
    EXPECT_GT(out.frames[1].pts.toMicros(), out.frames[0].pts.toMicros());

    // Unchanged: nothing. Moving off the display: one frame to take it away, then nothing.
    cursor->tick();
    EXPECT_EQ(out.count(), 2u);
    pointerAt(20, 20);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    cursor->tick();
    ASSERT_EQ(out.count(), 3u);
    EXPECT_EQ(lumaAt(*out.last(), 10, 10), 16);
    pointerAt(30, 30);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    cursor->tick();
    EXPECT_EQ(out.count(), 3u);

    stream->stop();
    EXPECT_EQ(cursor->watching(), 0);
}

TEST_F(CursorOverlayTest, PointerFramesArePacedAndNothingWithoutAskingForThePointer) {
    pointerAt(108, 8);
    auto stream = overlay.startStream(display, config(2), out.sink());
    screens->pushFrame(16, 16, MediaTime{1000, 1'000'000});
    pointerAt(110, 10);
    cursor->tick();  // well inside the half-second interval
    EXPECT_EQ(out.count(), 1u);
    stream->stop();

    StreamConfig plain = config();
    plain.showsCursor = false;
    Delivered raw;
    auto direct = overlay.startStream(display, plain, raw.sink());
    EXPECT_EQ(cursor->watching(), 0);
    screens->pushFrame(16, 16, MediaTime{2000, 1'000'000});
    ASSERT_EQ(raw.count(), 1u);
    EXPECT_EQ(lumaAt(*raw.last(), 4, 4), 16);
}

TEST(UnchangedFrameFilter, PassesOnlyChangedPictures) {
    CaptureDisplay display{1, "main", 0, 0, 16, 16, 1, true};
    auto screens = std::make_shared<FakeScreenSource>(std::vector<CaptureDisplay>{display});
    UnchangedFrameFilter filter(screens);
    Delivered out;
    StreamConfig config;
    config.width = config.height = 16;
    auto stream = filter.startStream(display, config, out.sink());

    auto picture = [](int luma) {
        auto f = FrameBuffer::make(PixelFormat::nv12, 16, 16);
        f->fillBlack();
        f->data(0)[5] = static_cast<uint8_t>(luma);
        return f;
    };
    const int sequence[] = {16, 16, 16, 200, 200, 16};
    for (int i = 0; i < 6; ++i) screens->pushBuffer(picture(sequence[i]), MediaTime{i, 60});
    ASSERT_EQ(out.count(), 3u);
    EXPECT_EQ(out.frames[0].pts.toMicros(), 0u);
    EXPECT_EQ(out.frames[1].buffer->data(0)[5], 200);
    EXPECT_EQ(out.frames[2].buffer->data(0)[5], 16);
    // Statuses other than complete pass untouched.
    screens->pushFrame(16, 16, MediaTime{9, 60}, FrameStatus::idle);
    EXPECT_EQ(out.count(), 4u);
}

}  // namespace
}  // namespace orvane
