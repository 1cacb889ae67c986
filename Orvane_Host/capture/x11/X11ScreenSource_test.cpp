#include "Orvane_Host/capture/x11/X11ScreenSource.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <thread>

#include "Orvane_Host/capture/FrameWrappers.h"
#include "Orvane_Host/capture/ScreenCapturer.h"
#include "Orvane_Host/capture/testing/X11TestPainter.h"
#include "Orvane_Host/capture/testing/XvfbServer.h"
#include "Orvane_Host/capture/x11/X11CursorSource.h"

namespace orvane {
namespace {

using namespace std::chrono_literals;

// BT.709 limited-range luma of an 0xRRGGBB colour.
double lumaOf(uint32_t rgb) {
    const double r = ((rgb >> 16) & 0xff) / 255.0, g = ((rgb >> 8) & 0xff) / 255.0,
                 b = (rgb & 0xff) / 255.0;
    return 16 + 219 * (0.2126 * r + 0.7152 * g + 0.0722 * b);
}

// The capture as the host composes it: the pointer drawn in, repeated pictures dropped.
std::shared_ptr<ScreenSource> composed(const std::string& display) {
    return std::make_shared<CursorOverlaySource>(
        std::make_shared<UnchangedFrameFilter>(std::make_shared<X11ScreenSource>(display)),
        std::make_shared<X11CursorSource>(display));
}

// Each test runs its own X server: tests run in parallel and must not see each other's windows.
class X11Capture : public ::testing::Test {
protected:
    XvfbServer server;
    NetContext net{2};
    std::shared_ptr<X11ScreenSource> source;
    std::unique_ptr<ScreenCapturer> capturer;

    std::mutex mutex;
    std::condition_variable changed;
    // Only the latest frame is kept: holding more would starve the stream's buffer pool.
    std::shared_ptr<FrameBuffer> latest;
    size_t frames = 0;
    std::vector<std::chrono::microseconds> arrivals;  // capture times, free of delivery jitter
    std::optional<PlatformError> stopError;
    bool stopped = false;

    void SetUp() override {
        if (!server.start(1920, 1080))
            GTEST_SKIP() << "no X server for capture tests: " << server.error();
        source = std::make_shared<X11ScreenSource>(server.display());
        capturer = std::make_unique<ScreenCapturer>(composed(server.display()), net);
        SetUpHandlers();
    }

    void SetUpHandlers() {
        capturer->setOnFrame([this](const std::shared_ptr<FrameBuffer>& frame, MediaTime time) {
            std::lock_guard lock(mutex);
            latest = frame;
            ++frames;
            arrivals.push_back(std::chrono::microseconds(time.toMicros()));
            changed.notify_all();
        });
        capturer->setOnStop([this](std::optional<PlatformError> error) {
            std::lock_guard lock(mutex);
            stopped = true;
            stopError = std::move(error);
            changed.notify_all();
        });
    }

    void TearDown() override {
        if (capturer) capturer->stop();
    }

    // Waits until at least `count` frames arrived; returns the latest, or null on timeout.
    std::shared_ptr<FrameBuffer> waitFrames(size_t count, std::chrono::milliseconds timeout = 5s) {
        std::unique_lock lock(mutex);
        changed.wait_for(lock, timeout, [&] { return frames >= count; });
        return frames >= count ? latest : nullptr;
    }

    size_t frameCount() {
        std::lock_guard lock(mutex);
        return frames;
    }

    static int lumaAt(const FrameBuffer& f, int x, int y) {
        return f.data(0)[static_cast<size_t>(y) * f.stride(0) + x];
    }
};

TEST_F(X11Capture, ListsMonitorsAndThePrimaryOne) {
    const std::vector<CaptureDisplay> all = source->displays();
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(all[0].width, 1920);
    EXPECT_EQ(all[0].height, 1080);
    EXPECT_EQ(all[0].scale, 1);

    X11TestPainter painter(server.display(), 0, 0, 16, 16);
    painter.addMonitor("LEFT", 0, 0, 960, 1080, false);
    painter.addMonitor("RIGHT", 960, 0, 960, 1080, true);
    const std::vector<CaptureDisplay> two = source->displays();
    auto find = [&](const std::string& name) {
        for (const CaptureDisplay& d : two)
            if (d.name == name) return std::optional<CaptureDisplay>(d);
        return std::optional<CaptureDisplay>();
    };
    ASSERT_TRUE(find("LEFT") && find("RIGHT"));
    EXPECT_EQ(find("RIGHT")->x, 960);
    EXPECT_EQ(find("RIGHT")->width, 960);
    EXPECT_NE(find("LEFT")->id, find("RIGHT")->id);
    ASSERT_TRUE(source->mainDisplay());
    EXPECT_EQ(source->mainDisplay()->name, "RIGHT");
}

// Four known colours in quadrants: the capture keeps orientation and colour, at full size and
// scaled down.
TEST_F(X11Capture, KnownPatternAtSamplePoints) {
    X11TestPainter painter(server.display(), 0, 0, 1920, 1080);
    const uint32_t colours[4] = {0xff0000, 0x00ff00, 0x0000ff, 0xffffff};
    painter.fill(0, 0, 960, 540, colours[0]);
    painter.fill(960, 0, 960, 540, colours[1]);
    painter.fill(0, 540, 960, 540, colours[2]);
    painter.fill(960, 540, 960, 540, colours[3]);
    painter.movePointer(1910, 1070);  // keep the drawn pointer away from the sample points
    painter.flush();

    const CaptureDisplay display = source->displays().front();
    struct Case {
        int maxWidth;
        PixelFormat format;
        int width, height;
    };
    for (const Case c :
         {Case{3840, PixelFormat::nv12, 1920, 1080}, Case{3840, PixelFormat::i420, 1920, 1080},
          Case{1600, PixelFormat::nv12, 1600, 900}}) {
        SCOPED_TRACE(c.maxWidth);
        {
            std::lock_guard lock(mutex);
            frames = 0;
            latest.reset();
        }
        capturer->setPixelFormat(c.format);
        capturer->start(display, c.maxWidth, 30, false, false);
        auto frame = waitFrames(1);
        ASSERT_TRUE(frame);
        ASSERT_EQ(frame->width(), c.width);
        ASSERT_EQ(frame->height(), c.height);
        EXPECT_EQ(frame->format(), c.format);
        const int w = frame->width(), h = frame->height();
        const int points[4][2] = {
            {w / 4, h / 4}, {3 * w / 4, h / 4}, {w / 4, 3 * h / 4}, {3 * w / 4, 3 * h / 4}};
        for (int i = 0; i < 4; ++i)
            EXPECT_NEAR(lumaAt(*frame, points[i][0], points[i][1]), lumaOf(colours[i]), 2.0)
                << "quadrant " << i;
        // Blue's chroma: Cb high, Cr a little under neutral.
        const int cx = w / 8, cy = 3 * h / 8;
        const uint8_t cb = c.format == PixelFormat::nv12
                               ? frame->data(1)[cy * frame->stride(1) + 2 * cx]
                               : frame->data(1)[cy * frame->stride(1) + cx];
        EXPECT_NEAR(cb, 240, 2);
    }
}

TEST_F(X11Capture, StillScreenYieldsNothingAndChangesArrive) {
    X11TestPainter painter(server.display(), 0, 0, 1920, 1080);
    painter.fill(0, 0, 1920, 1080, 0x202020);
    painter.flush();
    capturer->start(source->displays().front(), 3840, 60, false, false);
    ASSERT_TRUE(waitFrames(1));  // a new stream shows the screen once

    std::this_thread::sleep_for(2s);
    EXPECT_EQ(frameCount(), 1u) << "a still screen produced frames";

    painter.fill(100, 100, 200, 200, 0xffffff);
    painter.flush();
    auto frame = waitFrames(2);
    ASSERT_TRUE(frame);
    EXPECT_NEAR(lumaAt(*frame, 200, 200), 235, 1);

    painter.movePointer(800, 600);  // the pointer alone is a change too
    frame = waitFrames(3);
    ASSERT_TRUE(frame);
    // The pointer's image is drawn into the picture around its hot spot.
    int differing = 0;
    for (int y = 590; y < 610; ++y)
        for (int x = 790; x < 810; ++x) differing += std::abs(lumaAt(*frame, x, y) - 43) > 8;
    EXPECT_GT(differing, 10);
    EXPECT_NEAR(lumaAt(*frame, 700, 500), 43, 2);
}

// Without damage reports every interval is grabbed and the filter compares: still is still
// nothing, a change a frame.
TEST_F(X11Capture, WithoutDamageExtensionComparesGrabs) {
    XvfbServer plain;
    if (!plain.start(640, 480, {"-extension", "DAMAGE"})) GTEST_SKIP() << plain.error();
    capturer->stop();
    capturer = std::make_unique<ScreenCapturer>(composed(plain.display()), net);
    SetUpHandlers();
    X11TestPainter painter(plain.display(), 0, 0, 640, 480);
    painter.fill(0, 0, 640, 480, 0x000000);
    painter.movePointer(630, 470);
    capturer->start(X11ScreenSource(plain.display()).displays().front(), 3840, 30, false, false);
    ASSERT_TRUE(waitFrames(1));
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(frameCount(), 1u);
    painter.fill(10, 10, 50, 50, 0xffffff);
    painter.flush();
    auto frame = waitFrames(2);
    ASSERT_TRUE(frame);
    EXPECT_EQ(lumaAt(*frame, 30, 30), 235);
    capturer->stop();
}

TEST_F(X11Capture, AnimationIsPacedToTheFrameRate) {
    X11TestPainter painter(server.display(), 0, 0, 1920, 1080);
    painter.movePointer(1910, 1070);
    capturer->start(source->displays().front(), 1600, 10, false, true);
    auto first = waitFrames(1);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->format(), PixelFormat::nv12);  // asked for HDR, served SDR
    const auto begin = std::chrono::steady_clock::now();
    size_t before = frameCount();
    for (int step = 0; std::chrono::steady_clock::now() - begin < 1500ms; ++step) {
        painter.animate(step);
        painter.flush();
        std::this_thread::sleep_for(5ms);
    }
    const size_t got = frameCount() - before;
    EXPECT_LE(got, 17u);  // 10 per second, plus one for a window edge
    EXPECT_GE(got, 8u);
    std::lock_guard lock(mutex);
    // Captures keep to fixed deadlines, so one that ran late is followed by one on time; only
    // a loop without pacing brings two frames much closer than a tenth of a second.
    for (size_t i = before + 1; i < arrivals.size(); ++i)
        EXPECT_GE(arrivals[i] - arrivals[i - 1], 30ms) << "frames closer than the pacing allows";
}

TEST_F(X11Capture, CapturesOnlyItsOwnMonitor) {
    X11TestPainter painter(server.display(), 0, 0, 1920, 1080);
    painter.fill(0, 0, 960, 1080, 0x000000);
    painter.fill(960, 0, 960, 1080, 0xffffff);
    painter.movePointer(100, 100);
    painter.addMonitor("LEFT", 0, 0, 960, 1080, true);
    painter.addMonitor("RIGHT", 960, 0, 960, 1080, false);
    painter.flush();
    std::optional<CaptureDisplay> right;
    for (const CaptureDisplay& d : source->displays())
        if (d.name == "RIGHT") right = d;
    ASSERT_TRUE(right);

    capturer->start(*right, 3840, 60, false, false);
    auto frame = waitFrames(1);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->width(), 960);
    EXPECT_EQ(lumaAt(*frame, 10, 10), 235);

    painter.fill(100, 100, 300, 300, 0x808080);  // on the other monitor
    painter.movePointer(200, 200);
    painter.flush();
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(frameCount(), 1u);

    painter.removeMonitor("RIGHT");
    std::unique_lock lock(mutex);
    EXPECT_TRUE(changed.wait_for(lock, 5s, [&] { return stopped; }));
    ASSERT_TRUE(stopError);
    EXPECT_EQ(stopError->code, X11ScreenSource::displayGone);
}

TEST_F(X11Capture, ServerLossStopsTheStream) {
    capturer->start(source->displays().front(), 1600, 30, false, false);
    ASSERT_TRUE(waitFrames(1));
    server.kill();
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, 5s, [&] { return stopped; }));
        ASSERT_TRUE(stopError);
        EXPECT_EQ(stopError->code, X11ScreenSource::connectionLost);
    }
    EXPECT_FALSE(capturer->isRunning());
    EXPECT_THROW(
        capturer->start(CaptureDisplay{1, "", 0, 0, 640, 480, 1, true}, 1600, 30, false, false),
        PlatformError);
}

}  // namespace
}  // namespace orvane
