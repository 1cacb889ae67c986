#include "Orvane_Host/capture/ScreenCapturer.h"

#include <gtest/gtest.h>

#include <asio/post.hpp>
#include <future>
#include <thread>

#include "Orvane_Host/capture/testing/FakeScreenSource.h"

namespace orvane {
namespace {

TEST(ScreenCapturerSize, Rule) {
    struct Case {
        double w, h, scale;
        int maxWidth;
        ScreenCapturer::Size expected;
    };
    const Case cases[] = {
        {1512, 982, 2, 2304, {2304, 1496}},   // 3024x1964 scaled down, truncating
        {1512, 982, 2, 3840, {3024, 1964}},   // narrower than the maximum keeps its size
        {3000, 1497, 1, 3840, {3000, 1496}},  // odd height made even
        {1920, 1080, 1, 1601, {1600, 900}},   // odd maximum: 1080*1601/1920 = 900, width 1600
        {1921, 1081, 1, 3840, {1920, 1080}},  // odd display keeps its size, made even
        {1440.5, 900.7, 1, 3840, {1440, 900}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ScreenCapturer::captureSize(c.w, c.h, c.scale, c.maxWidth), c.expected)
            << c.w << "x" << c.h << "@" << c.scale << " max " << c.maxWidth;
}

class ScreenCapturerTest : public ::testing::Test {
protected:
    CaptureDisplay display{7, "main", 0, 0, 1920, 1080, 1, true};
    NetContext net{2};
    std::shared_ptr<FakeScreenSource> source =
        std::make_shared<FakeScreenSource>(std::vector<CaptureDisplay>{display});
    ScreenCapturer capturer{source, net};

    std::mutex mutex;
    std::vector<MediaTime> frames;
    std::vector<std::optional<PlatformError>> stops;
    bool offQueue = false;

    void SetUp() override {
        capturer.setOnFrame([this](const std::shared_ptr<FrameBuffer>& buffer, MediaTime pts) {
            std::lock_guard lock(mutex);
            if (!capturer.queue().running_in_this_thread() || !buffer) offQueue = true;
            frames.push_back(pts);
        });
        capturer.setOnStop([this](std::optional<PlatformError> error) {
            std::lock_guard lock(mutex);
            if (!capturer.queue().running_in_this_thread()) offQueue = true;
            stops.push_back(std::move(error));
        });
    }

    // Everything posted to the capture queue before this call has run when it returns.
    void drain() {
        std::promise<void> done;
        asio::post(capturer.queue(), [&] { done.set_value(); });
        done.get_future().wait();
    }

    size_t frameCount() {
        drain();
        std::lock_guard lock(mutex);
        return frames.size();
    }
};

TEST_F(ScreenCapturerTest, StartConfiguresStream) {
    capturer.start(display, 1600, 30, false, false);
    ASSERT_EQ(source->streamCount(), 1u);
    const StreamConfig config = source->stream().config;
    EXPECT_EQ(config.width, 1600);
    EXPECT_EQ(config.height, 900);
    EXPECT_EQ(config.fps, 30);
    EXPECT_EQ(config.queueDepth, 5);
    EXPECT_TRUE(config.showsCursor);
    EXPECT_EQ(config.format, PixelFormat::nv12);
    EXPECT_EQ(source->stream().display, display);
    EXPECT_TRUE(capturer.isRunning());
}

TEST_F(ScreenCapturerTest, OnlyCompleteFramesReachOnFrame) {
    capturer.start(display, 3840, 60, false, false);
    const FrameStatus statuses[] = {
        FrameStatus::started,   FrameStatus::complete, FrameStatus::idle,   FrameStatus::blank,
        FrameStatus::suspended, FrameStatus::complete, FrameStatus::stopped};
    int64_t t = 0;
    for (FrameStatus s : statuses) source->pushFrame(64, 32, {++t, 600}, s);
    source->pushFrame(0, 0, {99, 600});  // complete but without a picture
    ASSERT_EQ(frameCount(), 2u);
    EXPECT_EQ(frames[0], (MediaTime{2, 600}));
    EXPECT_EQ(frames[1], (MediaTime{6, 600}));
    EXPECT_FALSE(offQueue);
}

TEST_F(ScreenCapturerTest, RestartStopsPreviousStreamAndDropsItsFrames) {
    capturer.start(display, 3840, 60, false, false);
    source->pushFrame(64, 32, {1, 60}, FrameStatus::complete, 0);
    EXPECT_EQ(frameCount(), 1u);
    capturer.start(display, 1600, 60, false, false);
    EXPECT_TRUE(source->stream(0).stopped);
    EXPECT_EQ(source->runningCount(), 1u);
    source->pushFrame(64, 32, {2, 60}, FrameStatus::complete, 0);  // late frame of the old one
    source->pushFrame(64, 32, {3, 60}, FrameStatus::complete, 1);
    ASSERT_EQ(frameCount(), 2u);
    EXPECT_EQ(frames.back(), (MediaTime{3, 60}));

    capturer.stop();
    source->pushFrame(64, 32, {4, 60}, FrameStatus::complete, 1);
    EXPECT_EQ(frameCount(), 2u);
    EXPECT_FALSE(capturer.isRunning());
    capturer.stop();  // twice is harmless
}

TEST_F(ScreenCapturerTest, PlatformStopReportsOnceAndOnlyForCurrentStream) {
    capturer.start(display, 3840, 60, false, false);
    capturer.start(display, 3840, 60, false, false);
    // The first stream's stop report arrives after the restart: not the current stream's fate.
    source->stopWithError(PlatformError("capture", 1, "old display gone"), 0);
    drain();
    EXPECT_TRUE(stops.empty());
    EXPECT_TRUE(capturer.isRunning());

    source->stopWithError(PlatformError("capture", 2, "display gone"), 1);
    drain();
    ASSERT_EQ(stops.size(), 1u);
    ASSERT_TRUE(stops[0].has_value());
    EXPECT_EQ(stops[0]->code, 2);
    EXPECT_STREQ(stops[0]->what(), "display gone");
    EXPECT_FALSE(capturer.isRunning());
    EXPECT_TRUE(source->stream(1).stopped);

    source->stopWithError(PlatformError("capture", 3, "again"), 1);
    source->pushFrame(64, 32, {1, 60}, FrameStatus::complete, 1);
    EXPECT_EQ(frameCount(), 0u);
    EXPECT_EQ(stops.size(), 1u);
    EXPECT_FALSE(offQueue);
}

TEST_F(ScreenCapturerTest, StopReportAfterStopIsDropped) {
    capturer.start(display, 3840, 60, false, false);
    capturer.stop();
    source->stopWithError(PlatformError("capture", 1, "gone"));
    drain();
    EXPECT_TRUE(stops.empty());
}

TEST_F(ScreenCapturerTest, FailedStartThrowsAndStaysStopped) {
    capturer.start(display, 3840, 60, false, false);
    source->failNextStart(PlatformError("capture", 5, "no display"));
    try {
        capturer.start(display, 3840, 60, false, false);
        FAIL() << "start did not throw";
    } catch (const PlatformError& e) {
        EXPECT_EQ(e.code, 5);
    }
    EXPECT_FALSE(capturer.isRunning());
    EXPECT_EQ(source->runningCount(), 0u);  // the earlier stream was stopped first

    EXPECT_THROW(capturer.start(display, 3840, 0, false, false), PlatformError);
    CaptureDisplay empty = display;
    empty.width = 1;
    EXPECT_THROW(capturer.start(empty, 3840, 60, false, false), PlatformError);
}

TEST_F(ScreenCapturerTest, ExcludedWindowsAreCopiedAtStart) {
    {
        std::lock_guard lock(excludedWindowLock());
        excludedWindowIDs() = {11, 12};
    }
    capturer.start(display, 3840, 60, false, false);
    {
        std::lock_guard lock(excludedWindowLock());
        excludedWindowIDs().insert(13);
    }
    EXPECT_EQ(source->stream().config.excludedWindows, (std::set<uint32_t>{11, 12}));
    capturer.start(display, 3840, 60, false, false);
    EXPECT_EQ(source->stream().config.excludedWindows, (std::set<uint32_t>{11, 12, 13}));
    std::lock_guard lock(excludedWindowLock());
    excludedWindowIDs().clear();
}

// System sound that the test pushes by hand.
class PushedSound : public SystemAudioSource {
public:
    struct Stream : SystemAudioStream {
        PushedSound* owner;
        explicit Stream(PushedSound* o) : owner(o) {}
        void stop() override {
            std::lock_guard lock(owner->mutex);
            owner->handler = nullptr;
        }
    };
    std::unique_ptr<SystemAudioStream> start(Handler onAudio) override {
        std::lock_guard lock(mutex);
        if (failNext) {
            failNext = false;
            throw PlatformError("audio", 1, "no sound server");
        }
        handler = std::move(onAudio);
        return std::make_unique<Stream>(this);
    }
    bool running() {
        std::lock_guard lock(mutex);
        return handler != nullptr;
    }
    bool push(PcmBuffer buffer) {
        Handler h;
        {
            std::lock_guard lock(mutex);
            h = handler;
        }
        if (h) h(std::move(buffer));
        return h != nullptr;
    }
    std::mutex mutex;
    Handler handler;
    bool failNext = false;
};

TEST_F(ScreenCapturerTest, SoundRunsWithTheStreamOnTheAudioQueue) {
    auto sound = std::make_shared<PushedSound>();
    EXPECT_THROW(capturer.start(display, 3840, 60, true, false), PlatformError);  // no source yet
    EXPECT_FALSE(capturer.isRunning());

    std::promise<size_t> got;
    bool onAudioQueue = false;
    capturer.setOnAudio([&](PcmBuffer buffer) {
        onAudioQueue = capturer.audioQueue().running_in_this_thread();
        got.set_value(buffer.frameCount());
    });
    capturer.setAudioSource(sound);
    capturer.start(display, 3840, 60, false, false);
    EXPECT_FALSE(sound->running());
    capturer.start(display, 3840, 60, true, false);
    EXPECT_TRUE(sound->running());
    EXPECT_TRUE(sound->push(PcmBuffer({48000, 2}, 480)));
    auto future = got.get_future();
    ASSERT_EQ(future.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(future.get(), 480u);
    EXPECT_TRUE(onAudioQueue);
    capturer.stop();
    EXPECT_FALSE(sound->running());

    capturer.start(display, 3840, 60, true, false);
    source->stopWithError(PlatformError("capture", 1, "gone"));
    drain();
    EXPECT_FALSE(sound->running());  // the platform ending the stream ends its sound too

    sound->failNext = true;
    EXPECT_THROW(capturer.start(display, 3840, 60, true, false), PlatformError);
    EXPECT_FALSE(capturer.isRunning());
    EXPECT_EQ(source->runningCount(), 0u);
}

TEST_F(ScreenCapturerTest, PixelFormatFollowsTheEncoder) {
    capturer.start(display, 3840, 60, false, false);
    capturer.setPixelFormat(PixelFormat::i420);
    EXPECT_EQ(source->stream().format, PixelFormat::i420);
    capturer.setPixelFormat(PixelFormat::yuv420p10);  // not a screen-grab format: ignored
    EXPECT_EQ(source->stream().format, PixelFormat::i420);
    capturer.start(display, 3840, 60, false, false);
    EXPECT_EQ(source->stream().config.format, PixelFormat::i420);
}

// The owner restarts while the platform delivers frames and ends streams on its own threads:
// every stream ends up stopped, and stop reports only ever concern the current stream.
TEST_F(ScreenCapturerTest, ConcurrencyRestartsAgainstPlatformEvents) {
    std::atomic<bool> done{false};
    std::thread platform([&] {
        unsigned i = 0;
        while (!done) {
            const size_t n = source->streamCount();
            if (n == 0) continue;
            const int index = static_cast<int>(++i % n);
            source->pushFrame(16, 16, {static_cast<int64_t>(i), 600}, FrameStatus::complete, index);
            if (i % 7 == 0) source->stopWithError(PlatformError("capture", 1, "gone"), index);
        }
    });
    for (int round = 0; round < 200; ++round) {
        try {
            capturer.start(display, 1600, 60, false, false);
        } catch (const PlatformError& e) {
            // The platform stopped the stream before start() returned: start says so.
            EXPECT_STREQ(e.what(), "gone");
        }
        if (round % 3 == 0) capturer.stop();
    }
    done = true;
    platform.join();
    capturer.stop();
    drain();
    EXPECT_EQ(source->runningCount(), 0u);
    std::lock_guard lock(mutex);
    EXPECT_LE(stops.size(), source->streamCount());
    EXPECT_FALSE(offQueue);
}

TEST_F(ScreenCapturerTest, DestroyedCapturerDeliversNothing) {
    auto other = std::make_unique<ScreenCapturer>(source, net);
    std::atomic<int> calls{0};
    other->setOnFrame([&](const std::shared_ptr<FrameBuffer>&, MediaTime) { ++calls; });
    other->start(display, 3840, 60, false, false);
    auto queue = other->queue();
    other.reset();
    source->pushFrame(64, 32, {1, 60});
    std::promise<void> done;
    asio::post(queue, [&] { done.set_value(); });
    done.get_future().wait();
    EXPECT_EQ(calls.load(), 0);
    EXPECT_EQ(source->runningCount(), 0u);
}

}  // namespace
}  // namespace orvane
